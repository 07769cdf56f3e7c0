#include "vstream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "errortext.h"

namespace {

// Writes and reads back one value of every kind, in one order for both
// directions, as a Serialize function would.
struct Sample {
    bool b = false;
    int8_t i8 = 0;
    uint8_t u8 = 0;
    int16_t i16 = 0;
    uint16_t u16 = 0;
    int32_t i32 = 0;
    uint32_t u32 = 0;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    double d = 0;
    std::string s;
    char block[5] = {};

    void Serialize(VStream& vs) {
        vs.Transfer(b);
        vs.Transfer(i8);
        vs.Transfer(u8);
        vs.Transfer(i16);
        vs.Transfer(u16);
        vs.Transfer(i32);
        vs.Transfer(u32);
        vs.Transfer(i64);
        vs.Transfer(u64);
        vs.Transfer(d);
        vs.Transfer(s);
        vs.TransferBytes(block, sizeof block);
    }
};

// A sink that accepts only a limited number of bytes.
class LimitedSink : public VStreamIO {
public:
    explicit LimitedSink(size_t room) : fRoom(room) {}
    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void* buffer, size_t n) override {
        size_t k = n < fRoom ? n : fRoom;
        fData.append(static_cast<const char*>(buffer), k);
        fRoom -= k;
        return k;
    }
    std::string fData;

private:
    size_t fRoom;
};

int ErrorNumberOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

}  // namespace

TEST(VStreamTest, RoundTripOfEveryKind) {
    Sample out;
    out.b = true;
    out.i8 = -5;
    out.u8 = 250;
    out.i16 = -30000;
    out.u16 = 65000;
    out.i32 = -2000000000;
    out.u32 = 4000000000u;
    out.i64 = std::numeric_limits<int64_t>::min() + 7;
    out.u64 = 0xFEDCBA9876543210ull;
    out.d = -1.7976931348623157e308;
    out.s = std::string("with\0nul", 8);
    std::memcpy(out.block, "abcde", 5);

    std::string buffer;
    {
        VStream vs(buffer, VStream::kStoring);
        EXPECT_FALSE(vs.IsLoading());
        out.Serialize(vs);
        EXPECT_EQ(vs.Count(), buffer.size());
    }
    // 1+1+1+2+2+4+4+8+8+8 + (4+8) + 5
    EXPECT_EQ(buffer.size(), 56u);

    Sample in;
    VStream vs(buffer, VStream::kLoading);
    EXPECT_TRUE(vs.IsLoading());
    in.Serialize(vs);
    EXPECT_EQ(in.b, true);
    EXPECT_EQ(in.i8, -5);
    EXPECT_EQ(in.u8, 250);
    EXPECT_EQ(in.i16, -30000);
    EXPECT_EQ(in.u16, 65000);
    EXPECT_EQ(in.i32, -2000000000);
    EXPECT_EQ(in.u32, 4000000000u);
    EXPECT_EQ(in.i64, out.i64);
    EXPECT_EQ(in.u64, out.u64);
    EXPECT_EQ(in.d, out.d);
    EXPECT_EQ(in.s, out.s);
    EXPECT_EQ(std::memcmp(in.block, "abcde", 5), 0);

    // NaN payloads survive as bits.
    double nan = std::nan("0x123");
    std::string b2;
    VStream w(b2, VStream::kStoring);
    w.Transfer(nan);
    double back = 0;
    VStream r(b2, VStream::kLoading);
    r.Transfer(back);
    EXPECT_EQ(std::memcmp(&nan, &back, 8), 0);
}

TEST(VStreamTest, LayoutIsLittleEndian) {
    std::string buffer;
    VStream vs(buffer, VStream::kStoring);
    int32_t i = 0x01020304;
    double one = 1.0;
    std::string s = "xy";
    bool f = false;
    vs.Transfer(i);
    vs.Transfer(one);
    vs.Transfer(s);
    vs.Transfer(f);
    const unsigned char expected[] = {0x04, 0x03, 0x02, 0x01,                          // int
                                      0, 0, 0, 0, 0, 0, 0xF0, 0x3F,                    // 1.0
                                      2, 0, 0, 0, 'x', 'y',                            // string
                                      0};                                              // bool
    ASSERT_EQ(buffer.size(), sizeof expected);
    EXPECT_EQ(std::memcmp(buffer.data(), expected, sizeof expected), 0);
}

TEST(VStreamTest, TruncatedInputRaisesShortRead) {
    std::string full;
    {
        VStream vs(full, VStream::kStoring);
        int32_t n = 7;
        std::string s = "hello";
        vs.Transfer(n);
        vs.Transfer(s);
    }
    // Every proper prefix fails with 1205, wherever it is cut.
    for (size_t cut = 0; cut < full.size(); ++cut) {
        std::string part = full.substr(0, cut);
        EXPECT_EQ(ErrorNumberOf([&] {
                      VStream vs(part, VStream::kLoading);
                      int32_t n = 0;
                      std::string s;
                      vs.Transfer(n);
                      vs.Transfer(s);
                  }),
                  1205)
            << "cut at " << cut;
    }
    // A damaged string length far beyond the data fails without allocating it.
    std::string huge = {'\xFF', '\xFF', '\xFF', '\x7F', 'a', 'b'};
    EXPECT_EQ(ErrorNumberOf([&] {
                  VStream vs(huge, VStream::kLoading);
                  std::string s;
                  vs.Transfer(s);
              }),
              1205);
    // Reading an empty buffer fails on the first value of any kind.
    std::string empty;
    EXPECT_EQ(ErrorNumberOf([&] {
                  VStream vs(empty, VStream::kLoading);
                  bool b;
                  vs.Transfer(b);
              }),
              1205);
}

TEST(VStreamTest, SinkThatRefusesBytesRaisesWriteError) {
    LimitedSink sink(6);
    VStream vs(sink, VStream::kStoring, "sink");
    int32_t a = 1;
    vs.Transfer(a);
    EXPECT_EQ(sink.fData.size(), 4u);
    try {
        vs.Transfer(a);
        FAIL() << "no error";
    } catch (const VeskError& e) {
        EXPECT_EQ(e.Number(), 1202);
        ASSERT_EQ(e.Args().size(), 1u);
        EXPECT_EQ(e.Args()[0], "sink");
    }
}
