/* The CGI program of the benchmark: a three-line answer. */
#include <stdio.h>

int main(void) {
  fputs("Content-Type: text/plain\r\n\r\nHello\r\n", stdout);
  return 0;
}
