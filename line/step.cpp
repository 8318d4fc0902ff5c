#include "line/step.h"

#include <charconv>

#include "update/image_file.h"

namespace korvelt::line {

namespace {

std::optional<int> Number(const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Step> ParseStep(const std::string& word, std::string* error) {
  using K = Step::Kind;
  struct Plain {
    const char* name;
    K kind;
    int value;
  };
  static const Plain kPlain[] = {
      {"open", K::kOpen, 0},
      {"close", K::kClose, 0},
      {"search-generator", K::kSearch, 0},
      {"search-analyzer", K::kSearch, 1},
      {"generator-fpga", K::kGeneratorFpga, 0},
      {"analyzer-fpga", K::kAnalyzerFpga, 0},
      {"generator-mcu", K::kGeneratorMcu, 0},
      {"analyzer-mcu", K::kAnalyzerMcu, 0},
  };
  for (const Plain& plain : kPlain) {
    if (word == plain.name) return Step{plain.kind, plain.value, {}, word};
  }
  const auto equals = word.find('=');
  if (equals == std::string::npos) {
    *error = "unknown step '" + word + "'";
    return std::nullopt;
  }
  const std::string name = word.substr(0, equals);
  const std::string value = word.substr(equals + 1);
  auto fail = [&](const std::string& why) -> std::optional<Step> {
    *error = "step '" + word + "': " + why;
    return std::nullopt;
  };
  struct WithFile {
    const char* name;
    K kind;
  };
  static const WithFile kFileSteps[] = {{"generator-mcu", K::kGeneratorMcu},
                                        {"analyzer-mcu", K::kAnalyzerMcu},
                                        {"aux-fpga", K::kAuxFpga},
                                        {"generator-data-flash", K::kGeneratorDataFlash},
                                        {"analyzer-data-flash", K::kAnalyzerDataFlash},
                                        {"nand-flash", K::kNandFlash}};
  for (const WithFile& step : kFileSteps) {
    if (name != step.name) continue;
    if (value.empty()) return fail("needs a FILE");
    return Step{step.kind, 0, value, word};
  }
  if (name == "search-type") {
    auto type = Number(value);
    if (!type || *type < 2 || *type > 7) return fail("the device type must be 2 to 7");
    return Step{K::kSearch, *type, {}, word};
  }
  if (name == "input-board") {
    const auto colon = value.find(':');
    auto board = Number(value.substr(0, colon));
    if (colon == std::string::npos || !board || *board < 1 || *board > 4 ||
        colon + 1 >= value.size()) {
      return fail("write it as input-board=N:FILE with N from 1 to 4");
    }
    return Step{K::kInputBoard, *board, value.substr(colon + 1), word};
  }
  if (name == "sub-mcu") {
    auto index = Number(value);
    if (!index || *index < 0 || *index > 10) return fail("the list index must be 0 to 10");
    return Step{K::kSubMcu, *index, {}, word};
  }
  if (name == "data-flash-no") {
    auto number = Number(value);
    if (!number) return fail("needs a whole number");
    return Step{K::kDataFlashNo, *number, {}, word};
  }
  *error = "unknown step '" + word + "'";
  return std::nullopt;
}

bool StepMovesImage(Step::Kind kind) {
  using K = Step::Kind;
  switch (kind) {
    case K::kOpen:
    case K::kClose:
    case K::kSearch:
    case K::kSubMcu:
    case K::kDataFlashNo:
      return false;
    default:
      return true;
  }
}

std::string StepImagePath(const Step& step) {
  using K = Step::Kind;
  if (!StepMovesImage(step.kind)) return {};
  if (!step.file.empty()) return step.file;
  switch (step.kind) {
    case K::kGeneratorFpga:
      return PortablePath(kGeneratorFpgaImage);
    case K::kAnalyzerFpga:
      return PortablePath(kAnalyzerFpgaImage);
    case K::kGeneratorMcu:
      return PortablePath(kGeneratorMcuImage);
    case K::kAnalyzerMcu:
      return PortablePath(kAnalyzerMcuImage);
    default:
      return {};
  }
}

bool IsMcuStep(Step::Kind kind) {
  return kind == Step::Kind::kGeneratorMcu || kind == Step::Kind::kAnalyzerMcu;
}

}  // namespace korvelt::line
