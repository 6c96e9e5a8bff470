/* The source of bin/hello. */
#include <stdio.h>
#include <string.h>

static int shout(const char *who) {
  char buf[64];
  size_t n = strlen(who);
  if (n >= sizeof buf) n = sizeof buf - 1;
  for (size_t i = 0; i < n; ++i) buf[i] = (char)(who[i] >= 'a' && who[i] <= 'z' ? who[i] - 32 : who[i]);
  buf[n] = '\0';
  return printf("hello, %s! (%s)\n", who, buf) < 0;
}

int main(int argc, char **argv) { return shout(argc > 1 ? argv[1] : "world"); }
