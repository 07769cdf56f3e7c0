// Finding many names among many: the names' hashes are sorted with their
// positions, and names are compared only where hashes are equal. Building
// costs n log n integer comparisons instead of string comparisons (names of
// a wide file often share long prefixes), and equal or colliding names cost
// no more than a plain sort of the strings would, so no input makes it
// quadratic.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

class SortedNameIndex {
public:
    struct Entry {
        uint64_t hash;
        uint32_t position;
    };
    using Range = std::pair<std::vector<Entry>::const_iterator, std::vector<Entry>::const_iterator>;
    // Orders positions of equal names; the default keeps them ascending.
    using TieBreak = std::function<bool(uint32_t, uint32_t)>;

    // names must outlive the index (it keeps the views); fewer than 2^32 - 1 of them.
    explicit SortedNameIndex(std::vector<std::string_view> names, const TieBreak& tieBreak = nullptr)
        : fNames(std::move(names)) {
        fEntries.reserve(fNames.size());
        for (size_t i = 0; i < fNames.size(); ++i) fEntries.push_back(Entry{Hash(fNames[i]), uint32_t(i)});
        SortEntries(tieBreak);
    }

    // The entries of the names equal to key, in tie-break order.
    Range Find(std::string_view key) const {
        const uint64_t h = Hash(key);
        return std::equal_range(fEntries.begin(), fEntries.end(), Entry{h, kProbe},
                                [&](const Entry& a, const Entry& b) {
                                    if (a.hash != b.hash) return a.hash < b.hash;
                                    return Name(a, key) < Name(b, key);
                                });
    }

    // Per position: kRepeated when an equal name comes before it in tie-break
    // order, kShared when any other position has the same name. One pass.
    static constexpr uint8_t kRepeated = 1;
    static constexpr uint8_t kShared = 2;
    std::vector<uint8_t> Classify() const {
        std::vector<uint8_t> flags(fNames.size(), 0);
        for (size_t i = 1; i < fEntries.size(); ++i) {
            const Entry &a = fEntries[i - 1], &b = fEntries[i];
            if (a.hash != b.hash || fNames[a.position] != fNames[b.position]) continue;
            flags[a.position] |= kShared;
            flags[b.position] |= kShared | kRepeated;
        }
        return flags;
    }

    std::string_view Name(uint32_t position) const { return fNames[position]; }
    size_t Size() const { return fNames.size(); }

private:
    // Entries go to buckets by the top bits of their hash, in place (one
    // counting pass, then each entry swapped into its bucket), and each
    // bucket, a handful of entries on average, is sorted in full order. Equal
    // names share a bucket and cost what a plain sort of them would.
    void SortEntries(const TieBreak& tieBreak) {
        const auto less = [&](const Entry& a, const Entry& b) {
            if (a.hash != b.hash) return a.hash < b.hash;
            const int order = fNames[a.position].compare(fNames[b.position]);
            if (order != 0) return order < 0;
            return tieBreak ? tieBreak(a.position, b.position) : a.position < b.position;
        };
        int bits = 0;
        while (bits < kMaxBucketBits && (size_t(1) << bits) < fEntries.size() / 2) ++bits;
        if (bits < 2) {
            std::sort(fEntries.begin(), fEntries.end(), less);
            return;
        }
        const int shift = 64 - bits;
        const auto bucket = [shift](const Entry& e) { return size_t(e.hash >> shift); };
        std::vector<uint32_t> ends((size_t(1) << bits) + 1, 0);  // ends[b + 1]: end of bucket b
        for (const Entry& e : fEntries) ++ends[bucket(e) + 1];
        for (size_t b = 1; b < ends.size(); ++b) ends[b] += ends[b - 1];
        std::vector<uint32_t> next(ends.begin(), ends.end() - 1);  // next free place of each bucket
        for (size_t b = 0; b + 1 < ends.size(); ++b) {
            while (next[b] < ends[b + 1]) {
                Entry& e = fEntries[next[b]];
                const size_t to = bucket(e);
                if (to == b)
                    ++next[b];
                else
                    std::swap(e, fEntries[next[to]++]);
            }
        }
        for (size_t b = 0; b + 1 < ends.size(); ++b)
            if (ends[b + 1] - ends[b] > 1) std::sort(fEntries.begin() + ends[b], fEntries.begin() + ends[b + 1], less);
    }

    static constexpr int kMaxBucketBits = 20;
    static uint64_t Hash(std::string_view s) { return std::hash<std::string_view>()(s); }
    // The entry's name; the probe of Find stands for the key itself.
    std::string_view Name(const Entry& e, std::string_view key) const { return e.position == kProbe ? key : fNames[e.position]; }

    static constexpr uint32_t kProbe = UINT32_MAX;
    std::vector<std::string_view> fNames;
    std::vector<Entry> fEntries;
};
