#pragma once

// Marks what libmailer.so exports. Everything else in the library is hidden.
#if defined(__GNUC__) || defined(__clang__)
#define MAILER_API __attribute__((visibility("default")))
#else
#define MAILER_API
#endif
