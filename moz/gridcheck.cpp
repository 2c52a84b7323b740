// gridcheck: checks a MOZ file, prints its size and tile count, and walks every tile.
#include "moz.h"

int main(int argc, char** argv) {
  RecordBuffer in;
  in.fd = open_input(argc, argv);
  if (in.fd < 0) {
    return 1;
  }
  return check_moz(in);
}
