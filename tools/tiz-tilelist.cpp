// tilelist: checks a TIZ file and prints its header and a line per tile.
#include "platform.h"
#include "tiz.h"

int main(int argc, char** argv) {
  platform::start(argc, argv);
  static RecordBuffer in;
  in.fd = open_input(argc, argv);
  const int status = in.fd < 0 ? 1 : list_tiz(in);
  return finish_output(in, status, argv[0]);
}
