// Writes seed inputs for reqlog_fuzz into the directory argv[1]: logs of
// the three formats made by the fixture writers, whole and cut.
#include <stdio.h>

#include <string>

#include "tests/fixtures/reqlog_writer.h"

namespace {

// The fuzzer's input form of a log: format byte, index length, index, log.
std::string seed(int format, const reqlog::LogImage &img) {
  std::string log = img.header, ndx;
  for (const std::string &r : img.records) {
    ndx += reqlog::le32(static_cast<uint32_t>(log.size()));
    log += r;
  }
  return std::string(1, static_cast<char>(format)) + reqlog::le16(static_cast<uint16_t>(ndx.size())) + ndx + log;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  int k = 0;
  auto put = [&](const std::string &bytes) { reqlog::write_file(dir + "/seed" + std::to_string(k++), bytes); };
  const int32_t t0 = 1700000000;
  std::string sb = seed(0, reqlog::sb_image(reqlog::sb_sample(5, t0)));
  std::string eb = seed(1, reqlog::eb_sample(4, t0));
  std::string txt = seed(2, reqlog::txt_sample(5, t0, 1, true));
  std::string txth = seed(2, reqlog::image_with_times(reqlog::Format::TXT, {t0, t0 + 1, t0 + 1, t0 + 2}));
  // Odd text lines: dates of every form, addresses that are not dotted
  // quads, numbers out of range, NULs and doubled blanks between tokens.
  std::string odd = seed(2, reqlog::txt_image(
                                "", {"2023-11-14 23:13:20 http://a/ 10.1.2.3 u g 1 c",
                                     "2023-1-4 2:3:4 http://b/ 2001:db8::7 u g 0 c",
                                     "2023-11-14 22:13:200 http://c/ 01.2.3.4 u g 99999999999999999999 c",
                                     "2023-13-14 10:00:00 http://d/ ::ffff:10.9.8.7 u g -5 c",
                                     std::string("1700000000\0http://e/ 1.2.3.4\t u  g 1 c", 38),
                                     "2023-11-14 http://f/ 255.255.255.255",
                                     "0170000000 http://g/ 123.123.123.1234 u g 1 c extra tokens"},
                                {t0, t0, t0, t0, t0, t0, t0}));
  for (const std::string &s : {sb, eb, txt, txth, odd}) {
    put(s);
    put(s.substr(0, s.size() * 2 / 3));  // cut mid-record
  }
  put(std::string("\x01\x00\x00", 3));  // an empty log
  return 0;
}
