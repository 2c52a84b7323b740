// gridcheck: checks a MOZ file, prints its size and tile count, and walks every tile.
#include "moz.h"
#include "platform.h"

int main(int argc, char** argv) {
  platform::start(argc, argv);
  static RecordBuffer in;
  in.fd = open_input(argc, argv);
  const int status = in.fd < 0 ? 1 : check_moz(in);
  return finish_output(in, status, argv[0]);
}
