// tilesave: copies the JPEG data of each TIZ tile into tileNNNN.jpg here.
#include "platform.h"
#include "tiz.h"

int main(int argc, char** argv) {
  platform::start(argc, argv);
  static RecordBuffer in;
  in.fd = open_input(argc, argv);
  const int status = in.fd < 0 ? 1 : save_tiz(in);
  return finish_output(in, status, argv[0]);
}
