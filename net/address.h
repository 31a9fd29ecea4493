// Address resolution shared by the connect primitives and the utilities.
#pragma once

#include "net/platform.h"

namespace brennic {

// Fills record's address and family from host: a text that begins with a digit is taken as a
// dotted address without a check (an invalid one gives 255.255.255.255); any other text is
// looked up as an IPv4 name. 1 when filled, 0 when the lookup found nothing.
int getaddr(const char *host, sockaddr_in *record);

// Fills record with the address of host and sets *length to the record's size: a text with a
// colon is an IPv6 literal; anything else is read as getaddr reads it, and a name with no IPv4
// address is looked up as an IPv6 name. 1 when filled, 0 when nothing was found.
int getaddr_any(const char *host, sockaddr_storage *record, socklen_t *length);

// Resolves bind_address into record. 0 without a message for an empty text, 0 with an error
// message when it cannot be resolved, 1 (and an info message) when resolved.
int bind_out(sockaddr_in *record, const char *bind_address);

} // namespace brennic
