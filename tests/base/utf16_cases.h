#pragma once
// The cases of the UTF-8/UTF-16 conversion, shared by the native test and
// the check that runs under Wine, so that both builds are held to one table.

#include <string>

namespace talvex::utf16_cases {

struct Pair {
    const char* name;
    std::string utf8;
    std::u16string utf16;
};

// Both forms written out by hand, so that neither direction checks itself.
inline const Pair kPairs[] = {
    {"empty", "", u""},
    {"ASCII", "af=sample.hex", u"af=sample.hex"},
    {"two-byte letters",
     "b\xc3\xb6rd\xc3\xa9.ini",
     {u'b', 0x00F6, u'r', u'd', 0x00E9, u'.', u'i', u'n', u'i'}},
    {"three-byte letter", "\xe6\x9d\xbf.hex", {0x677F, u'.', u'h', u'e', u'x'}},
    {"four-byte letter as a surrogate pair", "\xf0\x9f\x98\x80", {0xD83D, 0xDE00}},
    {"last of each length",
     "\x7f\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf",
     {0x007F, 0x07FF, 0xFFFF, 0xDBFF, 0xDFFF}},
    {"first of each length",
     "\xc2\x80\xe0\xa0\x80\xf0\x90\x80\x80",
     {0x0080, 0x0800, 0xD800, 0xDC00}},
    {"just outside the surrogates", "\xed\x9f\xbf\xee\x80\x80", {0xD7FF, 0xE000}},
};

struct BadUtf8 {
    const char* name;
    std::string utf8;
    const char* reasonHas; // the place the refusal must name
};

inline const BadUtf8 kBadUtf8[] = {
    {"byte that never starts a letter", "ab\xff.hex", "byte 3 (0xff)"},
    {"lone continuation byte", "\x80", "byte 1 (0x80)"},
    {"overlong two-byte form", "\xc0\xaf", "byte 1 (0xc0)"},
    {"overlong three-byte form", "x\xe0\x80\xaf", "byte 2 (0xe0)"},
    {"surrogate encoded in UTF-8", "\xed\xa0\x80", "byte 1 (0xed)"},
    {"past U+10FFFF", "\xf4\x90\x80\x80", "byte 1 (0xf4)"},
    {"sequence cut off at the end", "b\xc3", "byte 2 (0xc3)"},
    {"continuation missing", "b\xc3(", "byte 3 (0x28)"},
};

struct BadUtf16 {
    const char* name;
    std::u16string utf16;
    const char* reasonHas;
};

inline const BadUtf16 kBadUtf16[] = {
    {"lone high surrogate at the end", {u'a', 0xD800}, "character 2"},
    {"lone low surrogate", {0xDC00, u'a'}, "character 1"},
    {"high surrogate before a plain letter", {0xD83D, u'x'}, "character 1"},
    {"pair in the wrong order", {0xDE00, 0xD83D}, "character 1"},
};

} // namespace talvex::utf16_cases
