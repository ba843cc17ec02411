#pragma once

// Content transfer encodings and line handling for message text.

#include <string>
#include <string_view>

namespace quillpost::smtp {

// Every line break (CR LF, lone CR, lone LF) becomes CR LF.
std::string NormaliseLineEndings(std::string_view text);

// Base64 in lines of 76 characters, each ended by CR LF.
std::string Base64Lines(std::string_view data);

// Base64 without line breaks, appended to out.
void AppendBase64(std::string& out, std::string_view data);

// Base64 without line breaks.
std::string Base64(std::string_view data);

// Quoted-printable (RFC 2045) of text whose line breaks are CR LF. Lines stay
// line breaks; encoded lines are at most 76 characters.
std::string QuotedPrintable(std::string_view text);

// True when text with CR LF line breaks may travel as 7bit: ASCII without
// control characters other than tab, no bare CR or LF, and no line over 998 octets.
bool FitsSevenBit(std::string_view text);

// Writes every byte for which keep is false as %HH (upper-case hex).
std::string PercentEncode(std::string_view text, bool (*keep)(char));

// Replaces every byte sequence that is not valid UTF-8 with U+FFFD.
std::string ValidUtf8(std::string_view text);

}  // namespace quillpost::smtp
