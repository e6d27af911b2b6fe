// Digest service: SHA-256 of bytes, as the journal chains its records with.
#pragma once

enum { SHA256_HEX_LEN = 64 };

// The SHA-256 of count bytes at bytes, as 64 lowercase hex digits and a terminating zero in hex.
void Sha256Hex(const void *bytes, int count, char hex[SHA256_HEX_LEN + 1]);
