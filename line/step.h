#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvelt::line {

// One thing the scripted operator does, as given on the command line.
struct Step {
  enum class Kind {
    kOpen,
    kClose,
    kSearch,  // value: device type 0..7
    kGeneratorFpga,
    kAnalyzerFpga,
    kGeneratorMcu,  // file: empty for the fixed path, else recognised by its content
    kAnalyzerMcu,
    kAuxFpga,  // file
    kGeneratorDataFlash,
    kAnalyzerDataFlash,
    kNandFlash,
    kInputBoard,   // value: board 1..4, file
    kSubMcu,       // value: list index 0..10
    kDataFlashNo,  // value: the number
  };
  Kind kind;
  int value = 0;
  std::string file;
  std::string text;  // as given, for messages
};

// Parses one STEP word; nothing (and `error` set) when it is not a step.
std::optional<Step> ParseStep(const std::string& word, std::string* error);

// Whether the step sends an image (and so has a progress bar and a byte count).
bool StepMovesImage(Step::Kind kind);
// The file the step's image is read from, relative to the working folder: its own file, or the
// fixed image the window reads. Empty for a step that sends no image.
std::string StepImagePath(const Step& step);
bool IsMcuStep(Step::Kind kind);

}  // namespace korvelt::line
