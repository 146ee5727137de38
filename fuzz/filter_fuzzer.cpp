// The whole filter on arbitrary raster input: the job loop runs in process
// on the input as a raster file, with a fixed PPD and the output thrown
// away.  Any crash, sanitizer report or leak is a finding.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#define main rastertotamsel_main
#include "rastertotamsel.cpp"
#undef main

namespace {

const char kPpd[] =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
    "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
    "*Manufacturer: \"Tamsel\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n"
    "*ShortNickName: \"Fuzz\"\n*NickName: \"Fuzz\"\n"
    "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: 3\n*PrintDensity 3: \"\"\n"
    "*CloseUI: *PrintDensity\n";

std::string Setup() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/tamsel-fuzz-XXXXXX";
    std::string d = mkdtemp(tmpl);
    std::FILE* f = std::fopen((d + "/fuzz.ppd").c_str(), "w");
    std::fputs(kPpd, f);
    std::fclose(f);
    setenv("PPD", (d + "/fuzz.ppd").c_str(), 1);
    std::freopen("/dev/null", "w", stdout);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string path = Setup() + "/job.ras";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  char arg0[] = "rastertotamsel", a1[] = "1", a2[] = "user", a3[] = "title", a4[] = "1",
       a5[] = "PrintDensity=3";
  std::string a6 = path;
  char* argv[] = {arg0, a1, a2, a3, a4, a5, a6.data(), nullptr};
  rastertotamsel_main(7, argv);
  return 0;
}
