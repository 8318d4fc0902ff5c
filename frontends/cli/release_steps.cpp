#include "frontends/cli/release_steps.h"

#include "release/release_images.h"

namespace korvelt::cli {

namespace {

struct FixedEntry {
  line::Step::Kind step;
  int deviceType;
  release::ImagePart part;
};
constexpr FixedEntry kFixedEntries[] = {
    {line::Step::Kind::kGeneratorFpga, release::kGeneratorType, release::ImagePart::kFpga},
    {line::Step::Kind::kAnalyzerFpga, release::kAnalyzerType, release::ImagePart::kFpga},
    {line::Step::Kind::kGeneratorMcu, release::kGeneratorType, release::ImagePart::kMcu},
    {line::Step::Kind::kAnalyzerMcu, release::kAnalyzerType, release::ImagePart::kMcu},
};

const FixedEntry* FixedEntryFor(const line::Step& step) {
  if (!step.file.empty()) return nullptr;
  for (const FixedEntry& entry : kFixedEntries) {
    if (entry.step == step.kind) return &entry;
  }
  return nullptr;
}

}  // namespace

const release::VerifiedImage* ReleaseImageForStep(const release::VerifiedRelease& release,
                                                  const line::Step& step) {
  if (const FixedEntry* fixed = FixedEntryFor(step)) {
    return release::FindImage(release, fixed->deviceType, fixed->part);
  }
  if (step.file.empty()) return nullptr;
  return release::FindImageFile(release, step.file);
}

std::optional<std::string> RefuseStepsForRelease(const release::VerifiedRelease* release,
                                                 bool required,
                                                 const std::vector<line::Step>& steps) {
  for (const line::Step& step : steps) {
    if (!line::StepMovesImage(step.kind)) continue;
    if (release && ReleaseImageForStep(*release, step)) continue;
    if (release) {
      if (const FixedEntry* fixed = FixedEntryFor(step)) {
        return "step '" + step.text + "': the release " + release->name + " has no " +
               release::KindName(fixed->deviceType) + " " +
               std::string(release::PartName(fixed->part)) +
               " image. Nothing was sent to any unit.";
      }
    }
    if (!required) continue;
    if (!release) {
      return "step '" + step.text +
             "': this station updates units only with images of a signed release "
             "(require-release): give one with --release DIR. Nothing was sent to any unit.";
    }
    return "step '" + step.text + "': " + release::NotFromReleaseText(line::StepImagePath(step));
  }
  return std::nullopt;
}

void RecordRelease(const release::VerifiedRelease& release, line::StepRecord& record) {
  record.release = release.name;
  record.releaseSha256 = release.manifestSha256;
  record.key = release.keyId;
}

}  // namespace korvelt::cli
