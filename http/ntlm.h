// NTLM version 1 messages for the HTTP client: the first (negotiate) message, the parsing
// of the server's second (challenge) message and the third (authenticate) message with the
// LM and NT responses. MD4 and DES come from Nettle.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// What the server's second message said, one record for the server and one for the proxy.
struct TNtlmChallenge {
  bool Valid = false;
  std::array<uint8_t, 8> Challenge{};
  std::u16string Server;  // target information entry of type 1
  std::u16string Domain;  // target information entry of type 2
};

// The first message, as raw bytes (sent Base64-encoded). It names no domain and no
// workstation.
std::string NtlmNegotiateMessage();

// Decodes the Base64 text of a second message into info. An empty text gives an invalid
// record. Text that is not Base64, a message shorter than its header, a wrong signature or
// type, or target information outside the message give an invalid record too: the
// challenge cannot be answered. Nothing outside the decoded bytes is read. Answers
// info.Valid.
bool NtlmParseChallenge(const std::string& base64, TNtlmChallenge& info);

// The third message, as raw bytes, answering challenge for user and password. Texts are
// UTF-8 and go out as UTF-16LE; the domain field stays empty.
std::string NtlmAuthenticateMessage(const std::string& user, const std::string& password,
                                    const std::string& workstation,
                                    const std::array<uint8_t, 8>& challenge);

// The 24-byte responses.
std::string NtlmLmResponse(const std::string& password, const std::array<uint8_t, 8>& challenge);
std::string NtlmNtResponse(const std::string& password, const std::array<uint8_t, 8>& challenge);

// Spreads seven bytes of key material into an eight-byte DES key, seven bits per byte
// (the low bit of each byte, the parity bit, is left 0).
std::array<uint8_t, 8> NtlmDesKey(const uint8_t material[7]);

// UTF-8 to UTF-16 code units; bytes that are not valid UTF-8 stand for themselves.
std::u16string Utf8ToUtf16(const std::string& text);
