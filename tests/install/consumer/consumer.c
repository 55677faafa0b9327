/* A host built against an installed quelta: counts the rows of the file it is given. */
#include <quelta.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  Scanner* scanner = quelta_open(argv[1], NULL);
  if (!scanner) {
    fprintf(stderr, "%s\n", quelta_last_error());
    return 1;
  }
  long long rows = (long long)quelta_count(scanner);
  quelta_close(scanner);
  printf("quelta %s: %lld rows\n", QUELTA_VERSION_STRING, rows);
  return 0;
}
