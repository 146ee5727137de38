// tamsel-decode: check a Tamsel printer stream, summarise it, and render
// its pages as the printer would image them.
//
//   tamsel-decode [--json] [--png PREFIX | --pbm PREFIX] [FILE]
//
// Exit status: 0 for a valid stream, 1 for a violation (one line on stderr
// with its offset), 2 for usage or file errors.

#include "page_image.h"
#include "tamsel_stream.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

double DotsToMm(unsigned dots) { return dots * 25.4 / 600.0; }

void Usage() {
  std::fprintf(stderr,
               "Usage: tamsel-decode [--json] [--png PREFIX | --pbm PREFIX] [FILE]\n"
               "Checks a Tamsel printer stream (FILE or standard input), prints a summary,\n"
               "and with --png or --pbm writes PREFIX-1.png, PREFIX-2.png, ...\n");
}

void PrintText(const tamsel::StreamSummary& s, const std::vector<bool>& overflow) {
  if (!s.has_settings) {
    std::printf("Job without pages (preamble only, %zu bytes)\n", s.stream_bytes);
    return;
  }
  const auto& j = s.settings;
  std::printf("Density:       %d\n", j.density);
  std::printf("Paper weight:  %d\n", j.paper_weight);
  std::printf("Paper size:    %u x %u dots (%.1f x %.1f mm)\n", j.width_dots, j.length_dots,
              DotsToMm(j.width_dots), DotsToMm(j.length_dots));
  std::printf("Copies:        %u\n", j.copies);
  std::printf("Pages:         %zu\n", s.pages.size());
  for (std::size_t i = 0; i < s.pages.size(); ++i) {
    const auto& p = s.pages[i];
    std::printf("Page %zu: %lu lines (%lu blank, %lu records), widest line %zu bytes, "
                "%zu payload bytes%s\n",
                i + 1, p.lines, p.blank_lines, p.records, p.widest_line, p.payload_bytes,
                overflow[i] ? ", larger than the paper" : "");
  }
}

std::string JsonEscape(const std::string& in) {
  std::string out;
  for (char c : in) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

void PrintJson(const tamsel::StreamSummary& s, const std::vector<bool>& overflow,
               const std::optional<tamsel::StreamError>& err) {
  std::printf("{\n  \"valid\": %s,\n", err ? "false" : "true");
  if (err)
    std::printf("  \"error\": {\"offset\": %zu, \"expected\": \"%s\", \"found\": \"%s\"},\n",
                err->offset, JsonEscape(err->expected).c_str(), JsonEscape(err->found).c_str());
  std::printf("  \"stream_bytes\": %zu,\n", s.stream_bytes);
  if (s.has_settings) {
    const auto& j = s.settings;
    std::printf("  \"settings\": {\"density\": %d, \"paper_weight\": %d, \"width_dots\": %u, "
                "\"length_dots\": %u, \"width_mm\": %.1f, \"length_mm\": %.1f, \"copies\": %u},\n",
                j.density, j.paper_weight, j.width_dots, j.length_dots, DotsToMm(j.width_dots),
                DotsToMm(j.length_dots), j.copies);
  } else {
    std::printf("  \"settings\": null,\n");
  }
  std::printf("  \"pages\": [");
  for (std::size_t i = 0; i < s.pages.size(); ++i) {
    const auto& p = s.pages[i];
    std::printf("%s\n    {\"lines\": %lu, \"blank_lines\": %lu, \"records\": %lu, "
                "\"widest_line_bytes\": %zu, \"payload_bytes\": %zu, \"larger_than_paper\": %s}",
                i ? "," : "", p.lines, p.blank_lines, p.records, p.widest_line, p.payload_bytes,
                overflow[i] ? "true" : "false");
  }
  std::printf("%s]\n}\n", s.pages.empty() ? "" : "\n  ");
}

}  // namespace

int main(int argc, char* argv[]) {
  bool json = false;
  std::string prefix;
  tamsel::ImageFormat format = tamsel::ImageFormat::kPng;
  const char* path = nullptr;

  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json")) {
      json = true;
    } else if ((!std::strcmp(argv[i], "--png") || !std::strcmp(argv[i], "--pbm")) && i + 1 < argc) {
      format = argv[i][3] == 'n' ? tamsel::ImageFormat::kPng : tamsel::ImageFormat::kPbm;
      prefix = argv[++i];
      if (format == tamsel::ImageFormat::kPng && !tamsel::PngAvailable()) {
        std::fprintf(stderr, "tamsel-decode: --png is unavailable (built without libpng); use --pbm\n");
        return 2;
      }
    } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage();
      return 0;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      Usage();
      return 2;
    } else if (!path) {
      path = argv[i];
    } else {
      Usage();
      return 2;
    }
  }

  std::ifstream file;
  std::istream* in = &std::cin;
  if (path && std::strcmp(path, "-") != 0) {
    file.open(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "tamsel-decode: cannot open %s: %s\n", path, std::strerror(errno));
      return 2;
    }
    in = &file;
  }

  std::vector<bool> overflow;
  bool write_failed = false;
  tamsel::StreamSummary summary;
  auto err = tamsel::DecodeStream(
      *in, summary, [&](const tamsel::JobSettings& settings, const tamsel::Page& page) {
        overflow.push_back(tamsel::PageLargerThanPaper(settings, page));
        if (prefix.empty()) return;
        std::string name = prefix + "-" + std::to_string(overflow.size()) +
                           (format == tamsel::ImageFormat::kPng ? ".png" : ".pbm");
        std::string why;
        if (!tamsel::WritePageImage(settings, page, format, name, &why)) {
          std::fprintf(stderr, "tamsel-decode: %s: %s\n", name.c_str(), why.c_str());
          write_failed = true;
        }
      },
      prefix.empty() ? tamsel::DecodeLimits{false} : tamsel::RenderLimits());

  // Input that is no printer stream at all gets the error alone, not the
  // summary of a job without pages.
  if (json)
    PrintJson(summary, overflow, err);
  else if (!err || summary.has_settings || !summary.pages.empty())
    PrintText(summary, overflow);

  if (err) {
    std::fprintf(stderr, "tamsel-decode: %s\n", err->Message().c_str());
    return 1;
  }
  return write_failed ? 2 : 0;
}
