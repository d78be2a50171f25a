/* The pass/fail count shared by the Wine check programs: one line per check,
 * and a closing "N passed, M failed" line that scripts/wine-test looks for. */
#ifndef CHECK_COUNT_H
#define CHECK_COUNT_H

#include <stdio.h>

static int passed;
static int failed;

static void check(int ok, const char *what) {
  printf("%s %s\n", ok ? "ok    " : "FAILED", what);
  if (ok) {
    ++passed;
  } else {
    ++failed;
  }
}

/* Prints the closing line; the result is the program's exit status. */
static int check_summary(void) {
  printf("%d passed, %d failed\n", passed, failed);
  return failed;
}

#endif
