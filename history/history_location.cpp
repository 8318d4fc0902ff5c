#include "history/history_location.h"

namespace korvelt::history {

HistoryResult<std::optional<std::filesystem::path>> ChooseHistoryFile(
    const HistorySettings& settings, const EnvironmentLookup& environment) {
  using Choice = std::optional<std::filesystem::path>;
  if (settings.off) return Choice{};
  if (!settings.file.empty()) return Choice{settings.file};
  if (auto file = environment(kHistoryVariable)) return Choice{*file};
  auto fallback = DefaultHistoryFile(environment);
  if (!fallback.ok()) return fallback.error();
  return Choice{fallback.value()};
}

StationIdentity IdentifyStation(std::string_view givenStation, std::string_view givenOperator) {
  return {.station = givenStation.empty() ? HostName() : std::string(givenStation),
          .operatorName = givenOperator.empty() ? LoginName() : std::string(givenOperator)};
}

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::filesystem::path PathFromText(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace korvelt::history
