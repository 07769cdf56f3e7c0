#define VESK_SOURCE_NAME "Platform/passwordcrypt"
#include "passwordcrypt.h"

#include <sodium.h>

namespace {

constexpr char kPrefix[] = "*V1*";
constexpr size_t kPrefixSize = sizeof kPrefix - 1;
constexpr char kDigits[] = "0123456789ABCDEF";

unsigned char Mask(size_t i) { return static_cast<unsigned char>(0x5A + 29 * i); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string PasswordCrypt::encrypt(const std::string& password) {
    std::string out(kPrefix);
    for (size_t i = 0; i < password.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(password[i]) ^ Mask(i);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

bool PasswordCrypt::decrypt(const std::string& mangled, std::string& password) {
    password = mangled;
    if (mangled.compare(0, kPrefixSize, kPrefix) != 0 || (mangled.size() - kPrefixSize) % 2 != 0) return false;
    std::string clear((mangled.size() - kPrefixSize) / 2, '\0');
    for (size_t i = 0; i < clear.size(); ++i) {
        const int hi = HexValue(mangled[kPrefixSize + 2 * i]);
        const int lo = HexValue(mangled[kPrefixSize + 2 * i + 1]);
        if (hi < 0 || lo < 0) {
            sodium_memzero(clear.data(), clear.size());
            return false;
        }
        clear[i] = static_cast<char>((hi << 4 | lo) ^ Mask(i));
    }
    sodium_memzero(password.data(), password.size());
    password.swap(clear);
    return true;
}

ExtNameStr PasswordCrypt::decrypt(const ExtNameStr& mangled) {
    std::string clear;
    decrypt(mangled.GetU8(), clear);
    ExtNameStr out;
    out.SetU8(clear);
    sodium_memzero(clear.data(), clear.size());
    return out;
}
