#ifndef QUILLPOST_MAILER_H
#define QUILLPOST_MAILER_H

/*
 * The submission library's C interface, for C programs and for any language
 * that loads libmailer.so through a foreign-function interface.
 *
 *   mailer_submission* mail = mailer_submission_new();
 *   mailer_initialise(mail);
 *   mailer_set_from(mail, "reports@example.org", "Nightly Reports");
 *   mailer_add_recipient(mail, "team@example.org");
 *   mailer_set_subject(mail, "Monthly figures");
 *   mailer_set_body(mail, "See the attached figures.");
 *   const char* answer = mailer_send(mail, MAILER_INBOUND_QUEUE);
 *   if (strcmp(answer, MAILER_ANSWER_OK) != 0) { ... }
 *   mailer_submission_free(mail);
 *
 * Strings are UTF-8 and NUL-terminated. A NULL string is a value with no text
 * form: the operation fails with MAILER_ERROR_NO_TEXT_FORM and changes nothing.
 *
 * Every builder function returns MAILER_OK or an error code; the error's
 * message stays readable through mailer_last_error until the next call on the
 * same handle. The order of calls and what each does are those of the C++
 * class quillpost::Submission (quillpost/submission.h).
 *
 * Threads: one handle is used by one thread at a time; separate handles share
 * nothing.
 */

#include <stddef.h>

#include "quillpost/mailer_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The answers of mailer_send. Callers compare with MAILER_ANSWER_OK exactly. */
#define MAILER_ANSWER_OK "OK"
/* The queue the relay listens on for new requests. */
#define MAILER_INBOUND_QUEUE "kvr_mailer"

typedef enum mailer_status {
  MAILER_OK = 0,
  MAILER_ERROR_NO_HANDLE = 1,           /* the handle is NULL */
  MAILER_ERROR_NO_REQUEST = 2,          /* no mailer_initialise yet, or finalised since */
  MAILER_ERROR_NO_TEXT_FORM = 3,        /* a NULL string */
  MAILER_ERROR_INVALID_VALUE = 4,       /* characters a request cannot carry */
  MAILER_ERROR_TOO_MANY_RECIPIENTS = 5, /* the recipient was added but not counted */
  MAILER_ERROR_INTERNAL = 6,            /* out of memory or another failure inside */
  MAILER_ERROR_TOO_LARGE = 7            /* a message past the handle's size limit */
} mailer_status;

typedef struct mailer_submission mailer_submission;

/* The library's version, "1.0.0". */
MAILER_API const char* mailer_version(void);

/* A new handle holding no request, or NULL when memory ran out. */
MAILER_API mailer_submission* mailer_submission_new(void);

/* Releases the handle and its request; nothing is sent. NULL is ignored. */
MAILER_API void mailer_submission_free(mailer_submission* submission);

MAILER_API mailer_status mailer_initialise(mailer_submission* submission);
MAILER_API mailer_status mailer_finalise(mailer_submission* submission);
MAILER_API mailer_status mailer_set_from(mailer_submission* submission, const char* address,
                                         const char* fullname);
MAILER_API mailer_status mailer_add_recipient(mailer_submission* submission, const char* recipient);
MAILER_API mailer_status mailer_set_body(mailer_submission* submission, const char* body);
MAILER_API mailer_status mailer_set_subject(mailer_submission* submission, const char* subject);
MAILER_API mailer_status mailer_add_attachment(mailer_submission* submission, const char* path);

/*
 * Carries the complete RFC 5322 message of length bytes at message (any bytes
 * but NUL) for the relay to send as it is, with the request's sender
 * and recipients as its envelope: see quillpost::Submission::SetMessage.
 */
MAILER_API mailer_status mailer_set_message(mailer_submission* submission, const char* message,
                                            size_t length);

/*
 * The largest message mailer_set_message takes on this handle, in octets:
 * 25 MiB (26214400) until set, at most 40 MiB (41943040); a larger message
 * fails with MAILER_ERROR_TOO_LARGE. See
 * quillpost::Submission::SetMaxMessageSize.
 */
MAILER_API mailer_status mailer_set_max_message_size(mailer_submission* submission, size_t octets);

/*
 * Checks the request and puts it on the queue named queue_path_name. Answers
 * "OK" or a text beginning "ERR - ". The answer is a static string: never free
 * it; it stays valid while the library is loaded. A NULL handle or a NULL
 * queue_path_name answers the internal-error text.
 */
MAILER_API const char* mailer_send(const mailer_submission* submission,
                                   const char* queue_path_name);

/*
 * The request as the one-line document mailer_send would put on the queue, in
 * a string the caller releases with mailer_string_free; NULL on failure (see
 * mailer_last_error).
 */
MAILER_API char* mailer_document_text(mailer_submission* submission);
MAILER_API void mailer_string_free(char* text);

/*
 * The message of the last failing call on this handle, or "" when the last
 * call succeeded. Valid until the next call on the handle. Never NULL.
 */
MAILER_API const char* mailer_last_error(const mailer_submission* submission);

#ifdef __cplusplus
}
#endif

#endif /* QUILLPOST_MAILER_H */
