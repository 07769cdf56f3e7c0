// The mangled form of a password: how stored command text carries a password
// without showing it at a glance. It is an obfuscation, not protection:
// anyone who reads this comment can undo it.
//
// Mangled form: "*V1*" followed, for each byte b at 0-based index i of the
// password's UTF-8 text, by two upper-case hexadecimal digits of
// b XOR ((0x5A + 29 * i) mod 256).
#pragma once

#include <string>

#include "textmb.h"

class PasswordCrypt {
public:
    // The mangled form of a password text.
    static std::string encrypt(const std::string& password);
    // The password of a mangled form. A text that is not a mangled form
    // comes back unchanged, and the result is false.
    static bool decrypt(const std::string& mangled, std::string& password);
    // The same on the UTF-8 form of a name string (the form passwords travel in).
    static ExtNameStr decrypt(const ExtNameStr& mangled);
};
