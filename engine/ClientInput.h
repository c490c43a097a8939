// Client input (THttpEngine::ReadClientInput and its helpers, in
// ClientInput.cpp): the method and size checks, the request body read in
// pieces under the input watchdog, and the form fields.
#pragma once
#include <cstdint>

// A CGI process that ends with body bytes unread makes some servers (Apache's
// mod_cgid: its socket is reset) lose the response; up to this many are read
// and dropped first.
constexpr int64_t MaxDiscardedBodyBytes = 16 * 1024 * 1024;
