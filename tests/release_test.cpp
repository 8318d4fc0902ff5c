// Signed release folders: the committed key and releases (made once with the minisign tool)
// on every system, and releases signed at run time by the tool where it is installed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "release/crypto.h"
#include "release/make_manifest.h"
#include "release/manifest.h"
#include "release/minisign.h"
#include "release/release_folder.h"
#include "release/release_images.h"
#include "release/sha256_file.h"
#include "release/station_config.h"
#include "release/trusted_keys.h"
#include "tests/support/temp_workdir.h"

namespace korvelt::release {
namespace {

namespace fs = std::filesystem;
using korvelt::testing::PatternImage;
using korvelt::testing::TempWorkDir;

// The committed key's id, as the tool printed it when it made the key.
constexpr const char* kStationKeyId = "2C090728996D4FB5";
constexpr const char* kOtherKeyId = "1B8A26C789F33A1F";

fs::path DataDir() {
  return fs::path(KORVELT_RELEASE_TEST_DATA);
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TrustedKeys KeysFrom(const std::vector<std::string>& names) {
  TrustedKeys keys;
  for (const std::string& name : names) {
    auto key = LoadPublicKeyFile(DataDir() / name);
    EXPECT_TRUE(key.ok()) << name;
    if (key.ok()) keys.push_back(key.value());
  }
  return keys;
}

// A private copy of a committed release, to damage.
fs::path CopyRelease(const TempWorkDir& work, const std::string& form) {
  const fs::path folder = work.path() / form;
  fs::copy(DataDir() / form, folder, fs::copy_options::recursive);
  return folder;
}

// --- Digests and encodings ---------------------------------------------------------------

TEST(Sha256, MatchesKnownDigestsInMemoryAndAcrossFileChunks) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Bytes("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  TempWorkDir work;
  // Sizes around the reader's 1 MiB chunk: a digest that dropped or repeated a chunk's edge
  // would differ from the one computed in memory.
  for (std::size_t size : {std::size_t{1}, std::size_t{1024 * 1024}, std::size_t{1024 * 1024 + 1},
                           std::size_t{2 * 1024 * 1024 + 4097}}) {
    const auto bytes = PatternImage(size, static_cast<uint32_t>(size));
    const fs::path file = work.Write("image.bin", bytes);
    const FileSha256 hashed = Sha256File(file);
    ASSERT_EQ(hashed.status, FileSha256::Status::kHashed) << size;
    EXPECT_EQ(hashed.size, size);
    EXPECT_EQ(hashed.sha256, Sha256Hex(bytes)) << size;
  }
  EXPECT_EQ(Sha256File(work.path() / "absent.bin").status, FileSha256::Status::kMissing);
  EXPECT_EQ(Sha256File(work.path() / "data").status, FileSha256::Status::kNotRegular);
  const FileSha256 limited = Sha256File(work.path() / "image.bin", 1000);
  EXPECT_EQ(limited.status, FileSha256::Status::kTooLarge);
  EXPECT_EQ(limited.size, 2u * 1024 * 1024 + 4097);
}

TEST(Sha256, SixteenMebibyteImageIsHashedWellUnderHalfASecond) {
  TempWorkDir work;
  const fs::path file = work.Write("big.bin", PatternImage(16 * 1024 * 1024, 16));
  const auto start = std::chrono::steady_clock::now();
  const FileSha256 hashed = Sha256File(file, 16 * 1024 * 1024);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(hashed.status, FileSha256::Status::kHashed);
  std::cout << "16 MiB image checked in " << seconds << " s\n";
  EXPECT_LT(seconds, 0.5);
}

TEST(Base64, DecodesOnlyStrictPaddedBase64) {
  struct Case {
    const char* text;
    std::optional<std::string> decoded;
  };
  const Case cases[] = {
      {.text = "aGVsbG8=", .decoded = "hello"},
      {.text = "aGVsbG8h", .decoded = "hello!"},
      {.text = "aGVsbA==", .decoded = "hell"},
      {.text = "aGVsbG8", .decoded = std::nullopt},    // unpadded
      {.text = "aGV*bG8=", .decoded = std::nullopt},   // not a base64 symbol
      {.text = "aGVs bG8=", .decoded = std::nullopt},  // a space
      {.text = "aG=sbG8=", .decoded = std::nullopt},   // padding inside
      {.text = "", .decoded = std::nullopt},
  };
  for (const Case& c : cases) {
    const auto bytes = DecodeBase64(c.text);
    ASSERT_EQ(bytes.has_value(), c.decoded.has_value()) << c.text;
    if (bytes) EXPECT_EQ(std::string(bytes->begin(), bytes->end()), *c.decoded) << c.text;
  }
}

// --- Key and signature files ---------------------------------------------------------------

TEST(Minisign, KeyIdsReadAsTheToolPrintsThemWithAllSixteenDigits) {
  auto key = ParsePublicKey(ReadText(DataDir() / "station.pub"));
  ASSERT_TRUE(key.ok()) << key.error();
  EXPECT_EQ(KeyIdHex(key.value().keyId), kStationKeyId);
  // The tool itself leaves out leading zeros ("619CD8C784DCD9F" for this id).
  EXPECT_EQ(KeyIdHex({0x9f, 0xcd, 0x4d, 0x78, 0x8c, 0xcd, 0x19, 0x06}), "0619CD8C784DCD9F");
  // A key pasted without its comment line, with Windows line ends, is the same key.
  const std::string bare = ReadText(DataDir() / "station.pub");
  auto pasted = ParsePublicKey(bare.substr(bare.find('\n') + 1) + "\r\n");
  ASSERT_TRUE(pasted.ok()) << pasted.error();
  EXPECT_EQ(pasted.value().key, key.value().key);
}

TEST(Minisign, RefusesFilesThatAreNotKeysOrSignatures) {
  const std::string key = ReadText(DataDir() / "station.pub");
  const std::string key_line = key.substr(key.find('\n') + 1, 56);
  const char* key_texts[] = {
      "", "untrusted comment: minisign public key\n",
      "untrusted comment: x\nRWTstYkqeQrPxyQZHLGS4r0Q3ysWDpb+Tli22gxJdT1DRvdWBVnF\n",      // short
      "untrusted comment: x\nRUTstYkqeQrPxyQZHLGS4r0Q3ysWDpb+Tli22gxJdT1DRvdWBVnF72VH\n",  // "ED"
  };
  for (const char* text : key_texts) EXPECT_FALSE(ParsePublicKey(text).ok()) << text;
  EXPECT_FALSE(ParsePublicKey(key + key_line + "\n").ok()) << "two key lines";

  const std::string good = ReadText(DataDir() / "release-prehashed" / kSignatureName);
  ASSERT_TRUE(ParseSignatureFile(good).ok());
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < good.size();) {
    const std::size_t end = good.find('\n', start);
    lines.push_back(good.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 4u);
  const auto join = [](std::vector<std::string> parts) {
    std::string text;
    for (const std::string& part : parts) text += part + "\n";
    return text;
  };
  const std::string signature_texts[] = {
      join({lines[0], lines[1], lines[2]}),
      join({"comment: " + lines[0], lines[1], lines[2], lines[3]}),
      join({lines[0], lines[1].substr(0, 40), lines[2], lines[3]}),
      join({lines[0], "RXT" + lines[1].substr(3), lines[2], lines[3]}),  // algorithm "Et"
      join({lines[0], lines[1], "comment: " + lines[2], lines[3]}),
      join({lines[0], lines[1], lines[2], lines[3].substr(4)}),
      join({lines[0], lines[1], lines[2], lines[3], "extra"}),
  };
  for (const std::string& text : signature_texts) {
    EXPECT_FALSE(ParseSignatureFile(text).ok()) << text;
  }
}

// --- Committed releases ----------------------------------------------------------------------

TEST(ReleaseFolder, CommittedReleaseVerifiesInBothSignatureForms) {
  struct Form {
    const char* folder;
    SignatureAlgorithm algorithm;
  };
  for (const Form form : {Form{"release-prehashed", SignatureAlgorithm::kPrehashed},
                          Form{"release-legacy", SignatureAlgorithm::kLegacy}}) {
    SCOPED_TRACE(form.folder);
    const fs::path folder = DataDir() / form.folder;
    const auto release = VerifyRelease(folder, KeysFrom({"other.pub", "station.pub"}));
    ASSERT_TRUE(release.ok()) << release.error().text;
    const VerifiedRelease& r = release.value();
    EXPECT_EQ(r.name, "2026.12");
    EXPECT_EQ(r.keyId, kStationKeyId);
    EXPECT_EQ(r.keyFile, DataDir() / "station.pub");
    EXPECT_EQ(r.algorithm, form.algorithm);
    EXPECT_EQ(r.manifestSha256, Sha256File(folder / kManifestName).sha256);
    EXPECT_EQ(OperatorLine(r), "release 2026.12, signed by key 2C090728996D4FB5, 4 images checked");
    EXPECT_EQ(ReleaseRecord(r).dump(), "{\"release\":{\"name\":\"2026.12\",\"manifestSha256\":\"" +
                                           r.manifestSha256 + "\"},\"key\":\"" + kStationKeyId +
                                           "\"}");
    ASSERT_EQ(r.images.size(), 4u);
    const VerifiedImage* aux = FindImage(r, 5, ImagePart::kAuxFpga);
    ASSERT_NE(aux, nullptr);
    EXPECT_EQ(aux->path, folder / "type5-aux-fpga.bin");
    EXPECT_EQ(aux->size, 1500u);
    const VerifiedImage* board = FindImage(r, kAnalyzerType, ImagePart::kInputBoard2);
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->sha256, Sha256File(folder / "board2.bin").sha256);
    EXPECT_EQ(FindImage(r, kAnalyzerType, ImagePart::kFpga), nullptr);
  }
}

// Each fault, in both signature forms: refused with its kind, and a text that names the file
// and (once the signature is read) the key.
TEST(ReleaseFolder, RefusesEveryFaultNamingTheFileAndTheKey) {
  struct Fault {
    const char* name;
    std::function<void(const fs::path&)> damage;
    std::vector<std::string> keys;
    RefusalKind kind;
    const char* names_file;
    bool names_key;
  };
  const auto edit = [](const char* file, std::function<void(std::string&)> change) {
    return [file, change](const fs::path& folder) {
      std::string text = ReadText(folder / file);
      change(text);
      WriteText(folder / file, text);
    };
  };
  const auto remove = [](const char* file) {
    return [file](const fs::path& folder) { fs::remove(folder / file); };
  };
  const std::vector<std::string> station = {"station.pub"};
  const Fault faults[] = {
      {.name = "no trusted key",
       .damage = [](const fs::path&) {},
       .keys = {},
       .kind = RefusalKind::kNoTrustedKeys,
       .names_file = "release-",
       .names_key = false},
      {.name = "manifest missing",
       .damage = remove(kManifestName),
       .keys = station,
       .kind = RefusalKind::kMissingManifest,
       .names_file = kManifestName,
       .names_key = false},
      {.name = "signature missing",
       .damage = remove(kSignatureName),
       .keys = station,
       .kind = RefusalKind::kMissingSignature,
       .names_file = kSignatureName,
       .names_key = false},
      {.name = "signature is not a signature",
       .damage = edit(kSignatureName, [](std::string& text) { text = "signed, honestly\n"; }),
       .keys = station,
       .kind = RefusalKind::kMalformedSignature,
       .names_file = kSignatureName,
       .names_key = false},
      {.name = "signed by a key the station does not trust",
       .damage = [](const fs::path&) {},
       .keys = {"other.pub"},
       .kind = RefusalKind::kUntrustedKey,
       .names_file = kSignatureName,
       .names_key = true},
      {.name = "manifest changed after signing",
       .damage = edit(kManifestName, [](std::string& text) { text += " "; }),
       .keys = station,
       .kind = RefusalKind::kBadSignature,
       .names_file = kManifestName,
       .names_key = true},
      {.name = "signature damaged",
       .damage = edit(kSignatureName,
                      [](std::string& text) {
                        const std::size_t at = text.find('\n') + 40;
                        text[at] = text[at] == 'A' ? 'B' : 'A';
                      }),
       .keys = station,
       .kind = RefusalKind::kBadSignature,
       .names_file = kSignatureName,
       .names_key = true},
      {.name = "signature form switched (ED <-> Ed)",
       .damage = edit(kSignatureName,
                      [](std::string& text) {
                        const std::size_t at = text.find('\n') + 2;
                        text[at] = text[at] == 'U' ? 'W' : 'U';
                      }),
       .keys = station,
       .kind = RefusalKind::kBadSignature,
       .names_file = kSignatureName,
       .names_key = true},
      {.name = "trusted comment changed",
       .damage = edit(
           kSignatureName,
           [](std::string& text) { text.replace(text.find("timestamp:"), 10, "timestamp:9"); }),
       .keys = station,
       .kind = RefusalKind::kBadTrustedComment,
       .names_file = kSignatureName,
       .names_key = true},
      {.name = "listed image missing",
       .damage = remove("board2.bin"),
       .keys = station,
       .kind = RefusalKind::kMissingImage,
       .names_file = "board2.bin",
       .names_key = true},
      {.name = "listed image is a folder",
       .damage =
           [](const fs::path& folder) {
             fs::remove(folder / "gen-mcu.hex");
             fs::create_directory(folder / "gen-mcu.hex");
           },
       .keys = station,
       .kind = RefusalKind::kMissingImage,
       .names_file = "gen-mcu.hex",
       .names_key = true},
      {.name = "image shorter",
       .damage = edit("type5-aux-fpga.bin", [](std::string& text) { text.pop_back(); }),
       .keys = station,
       .kind = RefusalKind::kSizeMismatch,
       .names_file = "type5-aux-fpga.bin",
       .names_key = true},
      {.name = "image longer",
       .damage = edit("type5-aux-fpga.bin", [](std::string& text) { text += '\xFF'; }),
       .keys = station,
       .kind = RefusalKind::kSizeMismatch,
       .names_file = "type5-aux-fpga.bin",
       .names_key = true},
      {.name = "image changed, same size",
       .damage = edit("GENERATOR_FPGA.bin", [](std::string& text) { text[1234] ^= 0x01; }),
       .keys = station,
       .kind = RefusalKind::kSha256Mismatch,
       .names_file = "GENERATOR_FPGA.bin",
       .names_key = true},
  };
  for (const char* form : {"release-prehashed", "release-legacy"}) {
    for (const Fault& fault : faults) {
      SCOPED_TRACE(std::string(form) + ": " + fault.name);
      TempWorkDir work;
      const fs::path folder = CopyRelease(work, form);
      fault.damage(folder);
      const auto release = VerifyRelease(folder, KeysFrom(fault.keys));
      ASSERT_FALSE(release.ok());
      const Refusal& refusal = release.error();
      EXPECT_EQ(refusal.kind, fault.kind) << refusal.text;
      EXPECT_NE(refusal.text.find(fault.names_file), std::string::npos) << refusal.text;
      EXPECT_NE(refusal.file.find(fault.names_file), std::string::npos) << refusal.file;
      EXPECT_EQ(refusal.text.find(kStationKeyId) != std::string::npos, fault.names_key)
          << refusal.text;
      EXPECT_EQ(refusal.keyId, fault.names_key ? kStationKeyId : "");
      if (fault.kind == RefusalKind::kUntrustedKey) {
        EXPECT_NE(refusal.text.find(kOtherKeyId), std::string::npos) << refusal.text;
      }
    }
  }
}

TEST(ReleaseFolder, PipeInPlaceOfAnImageIsRefusedWithoutWaiting) {
  TempWorkDir work;
  const fs::path folder = CopyRelease(work, "release-prehashed");
  fs::remove(folder / "board2.bin");
  const std::string command = "mkfifo '" + (folder / "board2.bin").string() + "'";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "no mkfifo on this system";
  const auto release = VerifyRelease(folder, KeysFrom({"station.pub"}));
  ASSERT_FALSE(release.ok());
  EXPECT_EQ(release.error().kind, RefusalKind::kMissingImage);
  EXPECT_NE(release.error().text.find("is not a regular file"), std::string::npos);
}

TEST(ReleaseFolder, ImageBytesLoadedLaterAreCheckedAgainstTheRelease) {
  const fs::path folder = DataDir() / "release-legacy";
  const auto release = VerifyRelease(folder, KeysFrom({"station.pub"}));
  ASSERT_TRUE(release.ok()) << release.error().text;
  const VerifiedImage* image = FindImage(release.value(), kGeneratorType, ImagePart::kFpga);
  ASSERT_NE(image, nullptr);
  std::string bytes = ReadText(image->path);
  EXPECT_FALSE(CheckLoadedImage(release.value(), *image, Bytes(bytes)));
  bytes[0] ^= 0x80;
  const auto changed = CheckLoadedImage(release.value(), *image, Bytes(bytes));
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->kind, RefusalKind::kSha256Mismatch);
  bytes.pop_back();
  const auto shorter = CheckLoadedImage(release.value(), *image, Bytes(bytes));
  ASSERT_TRUE(shorter);
  EXPECT_EQ(shorter->kind, RefusalKind::kSizeMismatch);
  EXPECT_NE(shorter->text.find("GENERATOR_FPGA.bin"), std::string::npos);
}

// --- Manifests -------------------------------------------------------------------------------

std::string Entry(const std::string& kind, const std::string& part, const std::string& file,
                  const std::string& size = "100",
                  const std::string& sha256 = std::string(64, 'a')) {
  return "{\"kind\": " + kind + ", \"part\": \"" + part + "\", \"file\": \"" + file +
         "\", \"size\": " + size + ", \"sha256\": \"" + sha256 + "\"}";
}

std::string ManifestText(const std::vector<std::string>& entries,
                         const std::string& release = "\"2026.12\"") {
  std::string list;
  for (const std::string& entry : entries) list += (list.empty() ? "" : ", ") + entry;
  return "{\"release\": " + release + ", \"images\": [" + list + "]}";
}

TEST(Manifest, AcceptsEveryKindAndPart) {
  const auto parsed =
      ManifestText({Entry("\"generator\"", "fpga", "GENERATOR_FPGA.bin"),
                    Entry("\"analyzer\"", "mcu", "a.hex"), Entry("2", "data-flash", "d.bin"),
                    Entry("7", "input-board-4", "in4.bin", "4294967295", std::string(64, 'F'))});
  const auto manifest = ParseManifest(parsed);
  ASSERT_TRUE(manifest.ok()) << manifest.error();
  ASSERT_EQ(manifest.value().images.size(), 4u);
  const ManifestImage& last = manifest.value().images[3];
  EXPECT_EQ(last.deviceType, 7);
  EXPECT_EQ(last.part, ImagePart::kInputBoard4);
  EXPECT_EQ(last.size, kMaxImageSize);
  EXPECT_EQ(last.sha256, std::string(64, 'f'));
  // Written and read again, it is the same manifest.
  const auto again = ParseManifest(WriteManifest(manifest.value()));
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(again.value(), manifest.value());
}

TEST(Manifest, RefusesWhatDoesNotParseOrNamesFilesUnsafely) {
  const std::string gen = "\"generator\"";
  struct Case {
    std::string text;
    const char* because;
  };
  const Case cases[] = {
      {.text = "{\"release\": ", .because = "not valid JSON"},
      {.text = "[]", .because = "not a JSON object"},
      {.text = "{\"release\": \"a\", \"release\": \"b\", \"images\": [" +
               Entry(gen, "fpga", "f.bin") + "]}",
       .because = "\"release\" appears twice"},
      {.text = "{\"images\": [" + Entry(gen, "fpga", "f.bin") + "]}", .because = "no \"release\""},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin")}, "\"2026\\n12\""),
       .because = "control character"},
      {.text = ManifestText({}), .because = "lists no images"},
      {.text = "{\"release\": \"r\", \"notes\": \"\", \"images\": [" + Entry(gen, "fpga", "f.bin") +
               "]}",
       .because = "unknown key \"notes\""},
      {.text = ManifestText({"{\"kind\": \"generator\", \"part\": \"fpga\", \"file\": \"f.bin\", "
                             "\"size\": 1}"}),
       .because = "has no \"sha256\""},
      {.text = ManifestText({"{\"kind\": \"generator\", \"part\": \"fpga\", \"file\": \"f.bin\", "
                             "\"size\": 1, \"sha256\": \"" +
                             std::string(64, '0') + "\", \"address\": 0}"}),
       .because = "unknown key \"address\""},
      {.text = ManifestText({Entry("\"mixer\"", "fpga", "f.bin")}), .because = "unknown kind"},
      {.text = ManifestText({Entry("1", "fpga", "f.bin")}), .because = "kind 1 is not"},
      {.text = ManifestText({Entry("8", "fpga", "f.bin")}), .because = "kind 8 is not"},
      {.text = ManifestText({Entry(gen, "fgpa", "f.bin")}), .because = "unknown part"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin", "0")}), .because = "size 0"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin", "-5")}), .because = "not a byte count"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin", "1.5")}), .because = "not a byte count"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin", "4294967296")}),
       .because = "more than an image can be"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin", "1", "abc")}),
       .because = "not 64 hex digits"},
      {.text = ManifestText({Entry(gen, "fpga", "../f.bin")}), .because = "path separator"},
      {.text = ManifestText({Entry(gen, "fpga", "/etc/passwd")}), .because = "path separator"},
      {.text = ManifestText({Entry(gen, "fpga", "sub\\\\f.bin")}), .because = "path separator"},
      {.text = ManifestText({Entry(gen, "fpga", "..")}), .because = "names a folder"},
      {.text = ManifestText({Entry(gen, "fpga", "C:f.bin")}), .because = "':'"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin:hidden")}), .because = "':'"},
      {.text = ManifestText({Entry(gen, "fpga", "")}), .because = "is empty"},
      {.text = ManifestText({Entry(gen, "fpga", "f.bin.")}), .because = "ends with a dot"},
      {.text = ManifestText({Entry(gen, "fpga", "COM3")}), .because = "device name"},
      {.text = ManifestText({Entry(gen, "fpga", "nul.bin")}), .because = "device name"},
      {.text = ManifestText({Entry(gen, "fpga", "a.bin"), Entry("\"analyzer\"", "fpga", "b.bin"),
                             Entry(gen, "fpga", "c.bin")}),
       .because = "image 3 (c.bin) is a second generator fpga image, after image 1 (a.bin)"},
  };
  for (const Case& c : cases) {
    const auto manifest = ParseManifest(c.text);
    ASSERT_FALSE(manifest.ok()) << c.text;
    EXPECT_NE(manifest.error().find(c.because), std::string::npos)
        << c.text << "\n  -> " << manifest.error();
  }
}

// --- Station settings and trusted keys -----------------------------------------------------------

TEST(StationConfig, ReadsSettingsAndRefusesOthersByLine) {
  const fs::path source = fs::path("station") / "station.conf";
  struct Case {
    std::string text;
    bool requireRelease;
    fs::path trustedKeys;
    const char* because;  // nullptr: accepted
  };
  const Case cases[] = {
      {.text = "", .requireRelease = false, .trustedKeys = DefaultTrustedKeyFolder()},
      {.text = "# line station 4\n\n  require-release = true  \n",
       .requireRelease = true,
       .trustedKeys = DefaultTrustedKeyFolder()},
      {.text = "\xEF\xBB\xBFrequire-release=false\r\ntrusted-keys = keys\r\n",
       .trustedKeys = source.parent_path() / "keys"},
      {.text = "require-release = yes\n", .because = "line 1: require-release is \"yes\""},
      {.text = "\n# x\nrequire-releases = true\n", .because = "line 3: unknown setting"},
      {.text = "require-release = true\nrequire-release = false\n",
       .because = "line 2: require-release was already set on line 1"},
      {.text = "require-release\n", .because = "line 1: \"require-release\" is not key = value"},
      {.text = "trusted-keys =\n", .because = "line 1: trusted-keys names no folder"},
  };
  for (const Case& c : cases) {
    const auto config = ParseStationConfig(c.text, source);
    if (c.because == nullptr) {
      ASSERT_TRUE(config.ok()) << c.text << config.error().text;
      EXPECT_EQ(config.value().requireRelease, c.requireRelease) << c.text;
      EXPECT_EQ(config.value().trustedKeys, c.trustedKeys) << c.text;
    } else {
      ASSERT_FALSE(config.ok()) << c.text;
      EXPECT_EQ(config.error().kind, RefusalKind::kBadStationConfig);
      EXPECT_NE(config.error().text.find(c.because), std::string::npos) << config.error().text;
      EXPECT_NE(config.error().text.find("station.conf"), std::string::npos);
    }
  }
}

TEST(StationConfig, MissingFileMeansDefaultsAndAFileIsRead) {
  TempWorkDir work;
  const auto missing = LoadStationConfig(work.path() / "station.conf");
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing.value().requireRelease);
  WriteText(work.path() / "station.conf", "require-release = true\ntrusted-keys = k\n");
  const auto read = LoadStationConfig(work.path() / "station.conf");
  ASSERT_TRUE(read.ok()) << read.error().text;
  EXPECT_TRUE(read.value().requireRelease);
  EXPECT_EQ(read.value().trustedKeys, work.path() / "k");
}

TEST(TrustedKeys, LoadsEveryPubFileAndRefusesABrokenOne) {
  TempWorkDir work;
  const fs::path keys = work.path() / "keys";
  const auto empty = LoadTrustedKeys(keys);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind, RefusalKind::kNoTrustedKeys);
  fs::create_directory(keys);
  WriteText(keys / "notes.txt", "not a key");
  EXPECT_EQ(LoadTrustedKeys(keys).error().kind, RefusalKind::kNoTrustedKeys);

  fs::copy(DataDir() / "station.pub", keys / "station.pub");
  fs::copy(DataDir() / "other.pub", keys / "line-2.PUB");
  const auto loaded = LoadTrustedKeys(keys);
  ASSERT_TRUE(loaded.ok()) << loaded.error().text;
  ASSERT_EQ(loaded.value().size(), 2u);
  EXPECT_EQ(KeyIdHex(loaded.value()[0].key.keyId), kOtherKeyId);
  EXPECT_EQ(KeyIdHex(loaded.value()[1].key.keyId), kStationKeyId);

  WriteText(keys / "broken.pub", "untrusted comment: minisign public key\nRWTst\n");
  const auto broken = LoadTrustedKeys(keys);
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error().kind, RefusalKind::kBadKeyFile);
  EXPECT_NE(broken.error().text.find("broken.pub"), std::string::npos) << broken.error().text;
}

// --- make-manifest -----------------------------------------------------------------------------

TEST(MakeManifest, ParsesFileMappings) {
  struct Case {
    const char* text;
    bool ok;
    const char* file;
    int deviceType;
    ImagePart part;
  };
  const Case cases[] = {
      {.text = "gen-mcu.hex=generator:mcu",
       .ok = true,
       .file = "gen-mcu.hex",
       .deviceType = kGeneratorType,
       .part = ImagePart::kMcu},
      {.text = "a=b.bin=3:nand",
       .ok = true,
       .file = "a=b.bin",
       .deviceType = 3,
       .part = ImagePart::kNand},
      {.text = "in.bin=analyzer:input-board-3",
       .ok = true,
       .file = "in.bin",
       .deviceType = kAnalyzerType,
       .part = ImagePart::kInputBoard3},
      {.text = "gen-mcu.hex"},
      {.text = "gen-mcu.hex=generator"},
      {.text = "gen-mcu.hex=gen:mcu"},
      {.text = "gen-mcu.hex=1:mcu"},
      {.text = "gen-mcu.hex=generator:cpu"},
      {.text = "../gen-mcu.hex=generator:mcu"},
  };
  for (const Case& c : cases) {
    const auto mapping = ParseFileMapping(c.text);
    ASSERT_EQ(mapping.ok(), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(mapping.error().kind, RefusalKind::kBadFileMapping);
      EXPECT_NE(mapping.error().text.find(c.text), std::string::npos);
      continue;
    }
    EXPECT_EQ(mapping.value().file, c.file);
    EXPECT_EQ(mapping.value().deviceType, c.deviceType);
    EXPECT_EQ(mapping.value().part, c.part);
  }
}

std::vector<FileMapping> Mappings(const std::vector<const char*>& texts) {
  std::vector<FileMapping> mappings;
  for (const char* text : texts) mappings.push_back(ParseFileMapping(text).value());
  return mappings;
}

TEST(MakeManifest, WritesWhatTheFolderHoldsAndWritesItAgain) {
  TempWorkDir work;
  const fs::path folder = work.path() / "2026.12";
  fs::create_directory(folder);
  const auto fpga = PatternImage(5000, 1);
  const auto mcu = PatternImage(300, 2);
  const auto nand = PatternImage(77, 3);
  work.Write("2026.12/GENERATOR_FPGA.bin", fpga);
  work.Write("2026.12/ANALYZER_MCU(rack).bin", mcu);
  work.Write("2026.12/nand7.bin", nand);
  const auto mappings = Mappings({"nand7.bin=7:nand"});
  const auto made = MakeManifest(folder, "2026.12", mappings);
  ASSERT_TRUE(made.ok()) << made.error().text;
  const Manifest expected{.release = "2026.12",
                          .images = {{.deviceType = kAnalyzerType,
                                      .part = ImagePart::kMcu,
                                      .file = "ANALYZER_MCU(rack).bin",
                                      .size = 300,
                                      .sha256 = Sha256Hex(mcu)},
                                     {.deviceType = kGeneratorType,
                                      .part = ImagePart::kFpga,
                                      .file = "GENERATOR_FPGA.bin",
                                      .size = 5000,
                                      .sha256 = Sha256Hex(fpga)},
                                     {.deviceType = 7,
                                      .part = ImagePart::kNand,
                                      .file = "nand7.bin",
                                      .size = 77,
                                      .sha256 = Sha256Hex(nand)}}};
  EXPECT_EQ(made.value(), expected);
  const auto written = ParseManifest(ReadText(folder / kManifestName));
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_EQ(written.value(), expected);

  // Again after a change, over the first manifest and beside a stale signature.
  WriteText(folder / kSignatureName, "stale");
  work.Write("2026.12/nand7.bin", PatternImage(78, 4));
  const auto again = MakeManifest(folder, "2026.12b", mappings);
  ASSERT_TRUE(again.ok()) << again.error().text;
  const auto rewritten = ParseManifest(ReadText(folder / kManifestName));
  ASSERT_TRUE(rewritten.ok()) << rewritten.error();
  EXPECT_EQ(rewritten.value().release, "2026.12b");
  EXPECT_EQ(rewritten.value().images[2].size, 78u);
  EXPECT_FALSE(fs::exists(folder / "manifest.json.tmp"));
}

TEST(MakeManifest, RefusesFilesItCannotPlace) {
  struct Case {
    const char* name;
    std::vector<const char*> extra_files;
    std::vector<const char*> mappings;
    RefusalKind kind;
    const char* names;
  };
  const Case cases[] = {
      {.name = "a file that maps to nothing",
       .extra_files = {"notes.txt"},
       .kind = RefusalKind::kUnmappedFile,
       .names = "notes.txt"},
      {.name = "a mapping for a file that is not there",
       .mappings = {"gone.bin=analyzer:fpga"},
       .kind = RefusalKind::kBadFileMapping,
       .names = "gone.bin"},
      {.name = "two files for the generator's FPGA",
       .extra_files = {"fpga2.bin"},
       .mappings = {"fpga2.bin=generator:fpga"},
       .kind = RefusalKind::kBadManifest,
       .names = "second generator fpga image"},
      {.name = "a sub-folder",
       .extra_files = {"old/"},
       .kind = RefusalKind::kUnmappedFile,
       .names = "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempWorkDir work;
    const fs::path folder = work.path() / "rel";
    fs::create_directory(folder);
    work.Write("rel/GENERATOR_FPGA.bin", PatternImage(10));
    for (const char* file : c.extra_files) {
      const std::string name = file;
      if (name.ends_with('/')) {
        fs::create_directory(folder / name.substr(0, name.size() - 1));
      } else {
        work.Write("rel/" + name, PatternImage(10));
      }
    }
    const auto made = MakeManifest(folder, "r", Mappings(c.mappings));
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().kind, c.kind) << made.error().text;
    EXPECT_NE(made.error().text.find(c.names), std::string::npos) << made.error().text;
    EXPECT_FALSE(fs::exists(folder / kManifestName));
  }
}

// --- Releases signed at run time by the minisign tool ------------------------------------------

class SignedRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KORVELT_MINISIGN).empty()) GTEST_SKIP() << "no minisign tool here";
    fs::create_directory(work_.path() / "keys");
    MakeKey("first");
  }

  static void Run(const std::string& command) {
    // The tool's chatter would bury the test's own output.
    ASSERT_EQ(std::system((command + " > /dev/null").c_str()), 0) << command;
  }

  void MakeKey(const std::string& name) {
    const fs::path keys = work_.path() / "keys";
    Run(std::string(KORVELT_MINISIGN) + " -G -W -p '" + (keys / (name + ".pub")).string() +
        "' -s '" + (work_.path() / (name + ".sec")).string() + "'");
  }

  void Sign(const fs::path& folder, const std::string& key = "first", bool legacy = false) {
    Run(std::string(KORVELT_MINISIGN) + " -S" + (legacy ? " -l" : "") + " -s '" +
        (work_.path() / (key + ".sec")).string() + "' -m '" + (folder / kManifestName).string() +
        "'");
  }

  TrustedKeys Keys() {
    auto keys = LoadTrustedKeys(work_.path() / "keys");
    EXPECT_TRUE(keys.ok()) << keys.error().text;
    return keys.ok() ? keys.value() : TrustedKeys{};
  }

  fs::path Folder(const std::string& name) {
    const fs::path folder = work_.path() / name;
    fs::create_directory(folder);
    return folder;
  }

  TempWorkDir work_;
};

TEST_F(SignedRelease, MadeSignedAndVerifiedInBothForms) {
  const fs::path folder = Folder("2026.12");
  work_.Write("2026.12/GENERATOR_FPGA.bin", PatternImage(65536, 1));
  work_.Write("2026.12/gen-mcu.hex", PatternImage(20480, 2));
  work_.Write("2026.12/big-nand.bin", PatternImage(16 * 1024 * 1024, 3));
  const auto made = MakeManifest(folder, "2026.12",
                                 Mappings({"gen-mcu.hex=generator:mcu", "big-nand.bin=4:nand"}));
  ASSERT_TRUE(made.ok()) << made.error().text;
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy" : "prehashed");
    Sign(folder, "first", legacy);
    const auto start = std::chrono::steady_clock::now();
    const auto release = VerifyRelease(folder, Keys());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(release.ok()) << release.error().text;
    std::cout << "release with a 16 MiB image verified in " << seconds << " s\n";
    EXPECT_EQ(release.value().algorithm,
              legacy ? SignatureAlgorithm::kLegacy : SignatureAlgorithm::kPrehashed);
    ASSERT_EQ(release.value().images.size(), made.value().images.size());
    for (std::size_t i = 0; i < made.value().images.size(); ++i) {
      EXPECT_EQ(release.value().images[i].file, made.value().images[i].file);
      EXPECT_EQ(release.value().images[i].sha256, made.value().images[i].sha256);
    }
    EXPECT_EQ(OperatorLine(release.value()).find("release 2026.12, signed by key "), 0u);
  }
}

TEST_F(SignedRelease, SignedManifestsThatAreUnsoundAreStillRefused) {
  const std::string sha = Sha256Hex(PatternImage(10));
  struct Case {
    const char* name;
    std::string manifest;
    RefusalKind kind;
    const char* names;
  };
  const Case cases[] = {
      {.name = "a file outside the folder",
       .manifest =
           ManifestText({Entry("\"generator\"", "fpga", "../GENERATOR_FPGA.bin", "10", sha)}),
       .kind = RefusalKind::kBadManifest,
       .names = "path separator"},
      {.name = "two images for one part",
       .manifest = ManifestText({Entry("\"generator\"", "fpga", "GENERATOR_FPGA.bin", "10", sha),
                                 Entry("\"generator\"", "fpga", "GENERATOR_FPGA.bin", "10", sha)}),
       .kind = RefusalKind::kBadManifest,
       .names = "second generator fpga"},
      {.name = "not JSON",
       .manifest = "release 2026.12",
       .kind = RefusalKind::kBadManifest,
       .names = "not valid JSON"},
      {.name = "a listed file that is not there",
       .manifest = ManifestText({Entry("\"generator\"", "fpga", "GENERATOR_FPGA.bin", "10", sha),
                                 Entry("\"analyzer\"", "fpga", "ANALYZER_FPGA.bin", "10", sha)}),
       .kind = RefusalKind::kMissingImage,
       .names = "ANALYZER_FPGA.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = Folder(c.name);
    work_.Write(std::string(c.name) + "/GENERATOR_FPGA.bin", PatternImage(10));
    WriteText(folder / kManifestName, c.manifest);
    Sign(folder);
    const auto release = VerifyRelease(folder, Keys());
    ASSERT_FALSE(release.ok());
    EXPECT_EQ(release.error().kind, c.kind) << release.error().text;
    EXPECT_NE(release.error().text.find(c.names), std::string::npos) << release.error().text;
    EXPECT_FALSE(release.error().keyId.empty());
    EXPECT_NE(release.error().text.find(release.error().keyId), std::string::npos);
  }
}

TEST_F(SignedRelease, AnyOfSeveralTrustedKeysMaySign) {
  MakeKey("second");
  const fs::path folder = Folder("rel");
  work_.Write("rel/ANALYZER_FPGA.bin", PatternImage(4096));
  ASSERT_TRUE(MakeManifest(folder, "r1", {}).ok());
  Sign(folder, "second");
  const auto release = VerifyRelease(folder, Keys());
  ASSERT_TRUE(release.ok()) << release.error().text;
  EXPECT_EQ(release.value().keyFile.filename(), "second.pub");
  // Without the second key in the folder, the same release is refused naming its key.
  const TrustedKeys first_only = {Keys().front()};
  const auto refused = VerifyRelease(folder, first_only);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, RefusalKind::kUntrustedKey);
  EXPECT_EQ(refused.error().keyId, release.value().keyId);
}

}  // namespace
// What the window is given: the release's files for its fixed paths, and a check of the bytes
// it loads against the release (a file replaced after the check is refused), or, on a station
// that requires releases, of any image that is not in one.
TEST(ReleaseImages, TheWindowReadsAndChecksTheReleasesFiles) {
  const fs::path folder = DataDir() / "release-prehashed";
  const auto verified = VerifyRelease(folder, KeysFrom({"station.pub"}));
  ASSERT_TRUE(verified.ok()) << verified.error().text;
  auto release = std::make_shared<const VerifiedRelease>(verified.value());
  auto bytesOf = [](const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  const fs::path fpga = folder / "GENERATOR_FPGA.bin";
  const ReleaseImageSource source = ImageSourceFor(release, false);
  EXPECT_EQ(source.fixedFiles.at(".\\data\\GENERATOR_FPGA.bin"), fpga.string());
  EXPECT_EQ(source.fixedFiles.at(".\\data\\GENERATOR_MCU(rack).bin"),
            (folder / "gen-mcu.hex").string());
  EXPECT_EQ(source.fixedFiles.count(".\\data\\ANALYZER_FPGA.bin"), 0u) << "not in the release";
  std::vector<std::uint8_t> bytes = bytesOf(fpga);
  EXPECT_FALSE(source.check(fpga.string(), bytes));
  bytes[7] ^= 1;
  const auto changed = source.check(fpga.string(), bytes);
  ASSERT_TRUE(changed);
  EXPECT_NE(changed->find("GENERATOR_FPGA.bin"), std::string::npos) << *changed;
  EXPECT_FALSE(source.check("/elsewhere/image.bin", bytes)) << "a release is not required";
  const ReleaseImageSource required = ImageSourceFor(release, true);
  EXPECT_EQ(required.check("/elsewhere/image.bin", bytes),
            NotFromReleaseText("/elsewhere/image.bin"));
  EXPECT_EQ(ImageSourceFor(nullptr, true).check("data/x.bin", bytes),
            NotFromReleaseText("data/x.bin"));
  EXPECT_FALSE(ImageSourceFor(nullptr, false).check) << "the window reads as it always has";
}

}  // namespace korvelt::release
