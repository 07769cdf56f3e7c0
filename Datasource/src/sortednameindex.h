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
    // Entries go to buckets by the top 8 bits of their hash, in place, then
    // each of those to smaller ones by the next bits through a scratch copy of
    // the bucket (a pass that stays in cache), and each small bucket, a few
    // entries on average, is sorted in full order. Equal names share a bucket
    // and cost what a plain sort of them would.
    void SortEntries(const TieBreak& tieBreak) {
        const auto less = [&](const Entry& a, const Entry& b) {
            if (a.hash != b.hash) return a.hash < b.hash;
            const int order = fNames[a.position].compare(fNames[b.position]);
            if (order != 0) return order < 0;
            return tieBreak ? tieBreak(a.position, b.position) : a.position < b.position;
        };
        if (fEntries.size() < kSortAlone) {
            std::sort(fEntries.begin(), fEntries.end(), less);
            return;
        }
        int fineBits = 0;  // about four entries to a small bucket
        while (fineBits < kMaxFineBits && (size_t(4) << (kTopBits + fineBits)) <= fEntries.size()) ++fineBits;
        const std::vector<uint32_t> topEnds = GroupInPlace(64 - kTopBits);
        std::vector<Entry> scratch;
        std::vector<uint32_t> fineEnds;
        for (size_t t = 0; t + 1 < topEnds.size(); ++t) {
            const auto begin = fEntries.begin() + std::ptrdiff_t(topEnds[t]);
            scratch.assign(begin, fEntries.begin() + std::ptrdiff_t(topEnds[t + 1]));
            Scatter(scratch.data(), scratch.size(), &*begin, 64 - kTopBits - fineBits, fineBits, fineEnds);
            for (size_t f = 0; f + 1 < fineEnds.size(); ++f)
                if (fineEnds[f + 1] - fineEnds[f] > 1)
                    std::sort(begin + std::ptrdiff_t(fineEnds[f]), begin + std::ptrdiff_t(fineEnds[f + 1]), less);
        }
    }

    // Groups the entries by the kTopBits bits of their hash above bit shift,
    // swapping each into its group; ends[b + 1] is where group b ends.
    std::vector<uint32_t> GroupInPlace(int shift) {
        std::vector<uint32_t> ends((size_t(1) << kTopBits) + 1, 0);
        for (const Entry& e : fEntries) ++ends[(e.hash >> shift) + 1];
        for (size_t b = 1; b < ends.size(); ++b) ends[b] += ends[b - 1];
        std::vector<uint32_t> next(ends.begin(), ends.end() - 1);
        for (size_t b = 0; b + 1 < ends.size(); ++b) {
            // Groups before b are complete, so an entry out of place belongs to a later one.
            while (next[b] < ends[b + 1]) {
                Entry& e = fEntries[next[b]];
                const size_t to = size_t(e.hash >> shift);
                if (to == b)
                    ++next[b];
                else
                    std::swap(e, fEntries[next[to]++]);
            }
        }
        return ends;
    }

    // Copies the n entries at from to `to`, grouped by the `bits` bits of
    // their hash above bit `shift`, in their order otherwise; ends[b + 1] is
    // where group b ends.
    static void Scatter(const Entry* from, size_t n, Entry* to, int shift, int bits, std::vector<uint32_t>& ends) {
        const uint64_t mask = (uint64_t(1) << bits) - 1;
        ends.assign((size_t(1) << bits) + 1, 0);
        for (size_t i = 0; i < n; ++i) ++ends[((from[i].hash >> shift) & mask) + 1];
        for (size_t b = 1; b < ends.size(); ++b) ends[b] += ends[b - 1];
        std::vector<uint32_t> next(ends.begin(), ends.end() - 1);
        for (size_t i = 0; i < n; ++i) to[next[(from[i].hash >> shift) & mask]++] = from[i];
    }

    static constexpr size_t kSortAlone = 4096;
    static constexpr int kTopBits = 8;
    static constexpr int kMaxFineBits = 12;
    static uint64_t Hash(std::string_view s) { return std::hash<std::string_view>()(s); }
    // The entry's name; the probe of Find stands for the key itself.
    std::string_view Name(const Entry& e, std::string_view key) const { return e.position == kProbe ? key : fNames[e.position]; }

    static constexpr uint32_t kProbe = UINT32_MAX;
    std::vector<std::string_view> fNames;
    std::vector<Entry> fEntries;
};
