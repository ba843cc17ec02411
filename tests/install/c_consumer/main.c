/* A C program that uses the installed submission library: it sends one
 * request to the queue named on its command line and prints the answer. */

#include <quillpost/mailer.h>
#include <stdio.h>
#include <string.h>

static int Check(mailer_submission* mail, mailer_status status, const char* what) {
  if (status != MAILER_OK) {
    fprintf(stderr, "c_consumer: %s failed (%d): %s\n", what, (int)status, mailer_last_error(mail));
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  const char* queue = argc > 1 ? argv[1] : MAILER_INBOUND_QUEUE;
  mailer_submission* mail = mailer_submission_new();
  if (mail == NULL) {
    fprintf(stderr, "c_consumer: out of memory\n");
    return 2;
  }
  int ok = Check(mail, mailer_initialise(mail), "initialise") &&
           Check(mail, mailer_set_from(mail, "c@example.org", "C Consumer"), "set_from") &&
           Check(mail, mailer_add_recipient(mail, "ops@example.org"), "add_recipient") &&
           Check(mail, mailer_set_subject(mail, "from C"), "set_subject") &&
           Check(mail, mailer_set_body(mail, "sent by the C consumer"), "set_body");
  /* A NULL string has no text form and is refused. */
  if (ok && mailer_add_recipient(mail, NULL) != MAILER_ERROR_NO_TEXT_FORM) {
    fprintf(stderr, "c_consumer: a NULL recipient was accepted\n");
    ok = 0;
  }
  int status = 2;
  if (ok) {
    const char* answer = mailer_send(mail, queue);
    printf("%s\n", answer);
    status = strcmp(answer, MAILER_ANSWER_OK) == 0 ? 0 : 1;
  }
  mailer_submission_free(mail);
  return status;
}
