#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_messages.h"
#include "app/window_services.h"
#include "protocol/command_table.h"
#include "serial/notification_channel.h"
#include "serial/port_operations.h"
#include "update/block_upload.h"
#include "update/bootloader_entry.h"
#include "update/image_file.h"
#include "update/loader_client.h"
#include "update/mcu_image.h"
#include "update/mcu_update.h"
#include "update/stm32_boot_client.h"

namespace korvelt {

// Checks an image's bytes as loaded, before any of them is sent: nothing when they may go, else
// why not (a front end that takes its images from a signed release compares them with it).
using ImageCheck =
    std::function<std::optional<std::string>(const std::string& path, std::span<const uint8_t>)>;

// What a front end decides for the window beyond its design, given once after OnInitDialog.
struct UpdaterOptions {
  bool allowPlaceholderLoader = false;  // the placeholder input-board loader may be sent
  // Files read instead of the window's fixed image paths (".\data\GENERATOR_FPGA.bin" and
  // the others, as the window names them): the images of a release. An MCU image given here
  // is recognised by its content, as an image file the front end names.
  std::map<std::string, std::string> imageFiles;
  // Fixed image paths that must not be read, with the text of the box that refuses them: a
  // release that has no image for the path (the file in data\ is not part of it).
  std::map<std::string, std::string> refusedImages;
  ImageCheck imageCheck;
  // korvelt-cli's acknowledged mode: a block (or an input-board chunk) whose acknowledgement
  // does not come is sent again, a few times, before the upload fails. The dialog waits for
  // ever, as its design does.
  bool resendBlocks = false;
};

// The main window: owns the serial settings, the image buffer and every protocol's state, and
// binds each control notification, window message and timer to one handler. It knows no GUI
// toolkit and no OS: it reaches its window through WindowServices and its port through
// PortOperations. Everything here runs on the window's thread.
class UpdaterDialog {
 public:
  using Handler = void (UpdaterDialog::*)();

  // `channel` is the owner handed to the port at every open; the port's notifications come
  // back through it to HandleSerialNotification.
  UpdaterDialog(WindowServices& services, PortOperations& port, NotificationChannel* channel);
  ~UpdaterDialog();
  UpdaterDialog(const UpdaterDialog&) = delete;
  UpdaterDialog& operator=(const UpdaterDialog&) = delete;

  // ---- Framework entry points ----
  bool OnInitDialog();
  // FALSE: members to controls. TRUE: controls to members; false when a number is malformed.
  bool UpdateData(bool saveAndValidate);
  // Routes a message through the message table; true if an entry took it.
  bool Dispatch(uint32_t message, uint32_t wParam, int32_t lParam);
  void Click(int controlId) { Dispatch(WM_COMMAND, MakeCommandParam(controlId, BN_CLICKED), 0); }
  void SelectionMade(int controlId) {
    Dispatch(WM_COMMAND, MakeCommandParam(controlId, CBN_SELENDOK), 0);
  }
  void Configure(const UpdaterOptions& options) { options_ = options; }
  // The channel's handler: serial notifications and comm-error reports.
  void HandleSerialNotification(const SerialNotification& notification);
  // Escape (cancel) and Enter (accept) end the dialog without OnClose.
  void OnCancel();
  void OnOK();

  // ---- Message-table handlers ----
  int ReceiveRouter(uint8_t byte, int portNumber);  // WM_SERIAL_RXCHAR
  void OnSerialTxDone();                            // WM_SERIAL_TXDONE
  // False when the command goes on to the framework's default handling.
  bool OnSysCommand(unsigned commandId);
  void OnPaint() {}  // the front end paints; nothing of the core's is drawn
  int OnQueryDragIcon() const;
  void OnTimer(int timerId);
  void OnClose();

  void OnTogglePort();
  void OnSelectPort();
  void OnSearchGenerator();
  void OnSearchAnalyzer();
  void OnSearchType2();
  void OnSearchType3();
  void OnSearchType4();
  void OnSearchType5();
  void OnSearchType6();
  void OnSearchType7();
  void OnGeneratorFpga();
  void OnAnalyzerFpga();
  void OnAuxFpga();
  void OnGeneratorDataFlash();
  void OnAnalyzerDataFlash();
  void OnNandFlash();
  void OnUpdateGeneratorMcu();
  void OnUpdateAnalyzerMcu();
  void OnUpdateSubMcu();
  void OnUpdateInputBoard1();
  void OnUpdateInputBoard2();
  void OnUpdateInputBoard3();
  void OnUpdateInputBoard4();
  void OnNoAction() {}
  void OnBlockAck();  // command-table slot 34

  // ---- Command protocol ----
  // Builds a command frame with the payload in m_txFrame and queues it; refuses an oversized
  // payload ("Too much parameter.") and a closed port ("Com port is not on yet."): false then.
  bool SendCommandFrame(uint16_t code, const uint8_t* payload, int length);
  void OnReplyByte(uint8_t byte);        // the reply parser, one byte
  void OnSearchReplyByte(uint8_t byte);  // the search-reply parser, one byte
  void SearchStep();                     // timer 4 while a search runs
  void StartSearch(uint8_t deviceType, bool resetParity);

  // ---- Bootloaders ----
  void OnBannerByte(uint8_t byte);  // the banner recogniser
  // Writes the ISP request and waits for its banner (m_bIspRequested).
  void SendIspRequest();
  void OnLoaderByte(uint8_t byte);  // the input-board loader client
  void OnStm32Byte(uint8_t byte);   // the STM32 bootloader client
  // An unfinished bootloader conversation is given up: its mode ends and its timers stop.
  void AbandonBootloaderConversation();
  // The MCU update behind the STM32 client; front ends configure it before its button.
  McuUpdate& mcuUpdate() { return mcu_update_; }
  const McuUpdate& mcuUpdate() const { return mcu_update_; }

  // ---- One operation at a time ----
  // A block upload, an MCU update from its banner until the port is shown closed, or an
  // input-board update from its banner to its last chunk.
  bool UpdateInFlight() const;
  // Every start of another update asks this first: true (and a box) while one is in flight.
  bool RefuseWhileUpdating();
  // Requests whose banner has not come yet are forgotten, so a late banner finds nobody.
  void ClearBootloaderRequests();
  // Close Port, a search and a port-list choice: whatever is in flight ends, without success.
  void AbandonOperation();
  // A box that says why what the operator asked for does not happen (or does not go on), and
  // the same as a typed result for front ends.
  void Refuse(const std::string& text, const char* caption,
              FailureKind kind = FailureKind::kRefused);
  void RefuseWithAppBox(const std::string& text, FailureKind kind);

  // ---- Images ----
  // 1 when the file was read and holds at least one byte. A file that cannot be opened shows
  // "Can not find GENERATOR_MCU.bin !" whatever its path.
  int LoadImageFile(const std::string& path, ImageUse use = ImageUse::kBlocks);
  ImageLoadResult ChooseAndLoadImage(ImageUse use = ImageUse::kBlocks);
  // The MCU image: the fixed path of the unit (raw binary), or the MCU update's image file
  // recognised by its content. 1 when it holds at least one byte to write.
  int LoadMcuImage(uint8_t deviceType);

  // ---- Port display (both change m_bPortOpen, the caption of 1006 and the icon together) ----
  void SetPortOpenUi();
  void SetPortClosedUi();

  // ---- Bound members (data exchange) ----
  std::string m_strStatus;
  float m_fProgress = 0;
  int m_nDataFlashNo = 0;
  std::string m_strWait;
  std::string m_strNote = "Note: Only for KORVELT desk version firmware updating !";

  // ---- Serial settings ----
  int m_nBaudRate = 0;
  int m_nPortNumber = 0;
  char m_cParity = 0;
  int m_nDataBits = 0;
  int m_nStopBits = 0;
  uint32_t m_dwCommEvents = 0;
  int m_bPortOpen = 0;

  // ---- Addressing ----
  uint8_t m_deviceType = 0;
  uint8_t m_deviceSubType = 0;
  uint8_t m_groupAddress = 0;
  uint8_t m_machineAddress = 0;

  // ---- Image buffer ----
  std::vector<uint8_t> m_pImage;  // always owns a block: a 10-byte placeholder at start
  uint32_t m_imageSize = 0;

  // ---- Block upload ----
  static constexpr std::size_t kBulkFrameBytes = 270;
  int m_bFpgaUpload = 0;
  int m_bAuxFpgaUpload = 0;
  int m_bNandUpload = 0;
  int m_bDataFlashUpload = 0;
  int m_blockCount = 0;  // number of the next block
  int m_imagePos = 0;    // image index of the next byte to pack
  int m_bMoreBlocks = 0;
  std::array<uint8_t, kBulkFrameBytes> m_bulkFrame{};
  const UploadFlight& uploadFlight() const { return upload_flight_; }
  const UpdaterOptions& options() const { return options_; }

  // ---- Receive routing and modes ----
  int m_parserState = 0;
  int m_bSearching = 0;
  int m_bLoaderMode = 0;
  int m_loaderState = 0;
  int m_bLoaderStreaming = 0;
  int m_bStm32Mode = 0;
  int m_bIspRequested = 0;
  int m_bSubMcuRequested = 0;
  int m_bInputBoardRequested = 0;

  // ---- Frames ----
  static constexpr std::size_t kTxFrameBytes = 300;
  static constexpr std::size_t kReplyBufferBytes = 520;
  static constexpr std::size_t kBlockPacketBytes = 260;
  std::array<uint8_t, kTxFrameBytes> m_txFrame{};
  std::array<uint8_t, kReplyBufferBytes> m_replyBuf{};
  int m_replyLength = 0;
  // The block packet of the uploads; the search builds its probe in its first ten bytes.
  std::array<uint8_t, kBlockPacketBytes> m_blockPacket{};
  int m_bDeviceFound = 0;
  const ReplyParserCounters& replyCounters() const { return reply_counters_; }

  // ---- Bootloader banner recogniser ----
  std::array<uint8_t, 16> m_bannerRing{};
  int m_bannerPos = 0;

  // ---- Input-board loader client ----
  static constexpr std::size_t kLoaderTxBytes = 4096 + 12;
  std::array<uint8_t, kLoaderTxBytes> m_loaderTx{};
  uint64_t m_loaderRemaining = 0;  // 64 bits: an image of 2 GiB or more must not count as done
  uint64_t m_loaderTotal = 0;
  uint32_t m_loaderAddress = 0;

  // ---- STM32 bootloader client ----
  static constexpr std::size_t kStm32TxBytes = kStm32MaxTransferBytes + 2;
  int m_stm32State = 0;
  uint32_t m_stm32Address = 0;  // flash address of the block in flight
  std::array<uint8_t, kStm32TxBytes> m_stm32Tx{};
  int m_stm32TxLen = 0;

  // ---- Command table ----
  static constexpr int kCommandSlots = 35;
  std::array<uint16_t, kCommandSlots> m_commandCodes{};
  std::array<Handler, kCommandSlots> m_commandHandlers{};

 private:
  bool OpenCurrentPort(char parity);
  void ProcessReplyFrame();
  bool ReplyPassesFilter(uint16_t code) const;
  bool OpenNextSearchPort();
  enum class BufferLoad { kLoaded, kEmpty, kCannotOpen, kFailed };
  BufferLoad ReadIntoImageBuffer(const std::string& path, ImageUse use);
  // Reads a file for `use` into `bytes`; anything else (with its box) touches nothing.
  BufferLoad ReadImage(const std::string& path, ImageUse use, std::vector<uint8_t>* bytes);
  void UseImage(std::vector<uint8_t> bytes, std::vector<McuRange> ranges);
  // Tells the front end that an operation begins with the image loaded last
  // (WindowServices::OperationStarted).
  void TellOperationStarted(OperationStart start);
  enum class UploadKind { kFpga, kAuxFpga, kNand, kDataFlash };
  void SetUploadKind(UploadKind kind);
  bool ImageFitsBlockNumbers();
  std::size_t PackBlock(uint8_t* data);
  void SendNextBlock();
  void SendFirstBlock(uint8_t kindByte, ImageOperation operation);
  void FinishUpload();
  void StartBulkUpload(uint8_t kindByte, UploadKind kind, ImageOperation operation);
  void StartFpgaUpload(uint8_t deviceType, const char* confirmText, const char* imagePath);
  void StartDataFlashUpload(uint8_t deviceType);
  void RequestMcuUpdate(uint8_t deviceType, const char* portCaption, const char* confirmText);
  void RequestInputBoardUpdate(int board);
  void StartOutsideTool();
  int BannerMatches(std::string_view banner) const;
  void EndBlockUpload();
  void StartAutoClose();
  // A start that goes ahead takes the port over: the auto-close of the update before must not
  // close it under the new one. A start refused for any reason leaves it running.
  void TakePortOver();
  void SendLoaderChunk();
  void OnAutoCloseTimer();
  // The acknowledged mode's resend (block_resend.cpp).
  void NoteBlockSent();
  void OnBlockAnswer(uint8_t status);
  bool SendBlockAgain();
  void AdvanceAfterBlock();
  void FailUpload(FailureKind kind, const std::string& text);
  void NoteChunkSent();
  void OnChunkAnswer();
  void OnChunkQuiet();
  void AdvanceAfterChunk();
  void FailInputBoard(FailureKind kind, const std::string& text);
  void OnAnswerQuietTimer();
  void WatchLineQuiet();

  WindowServices& m_services;
  PortOperations& m_port;
  NotificationChannel* m_channel;

  // What the design does not name lives in these objects.
  UpdaterOptions options_;
  McuUpdate mcu_update_;
  UploadFlight upload_flight_;
  ChunkFlight chunk_flight_;
  BootloaderRequestRetries request_retries_;
  ReplyParserCounters reply_counters_;
  // The file behind the image buffer, for OperationStarted.
  struct LoadedImage {
    std::string file;
    bool fixed = false;
    std::vector<uint8_t> fileBytes;  // an MCU image file's bytes until told; empty: the buffer's
  } loaded_image_;
};

// Message-box captions; which box uses which is part of each handler's behaviour.
inline constexpr const char* kCaptionIsp = "ISP";
inline constexpr const char* kCaptionIspBlank = " ISP";
inline constexpr const char* kCaptionConsole = "ISP PC CONSOLE";
inline constexpr const char* kPortNotOnYet = "Com port is not on yet.";

}  // namespace korvelt
