// The packet processor of a live measurement: builds the request frames,
// receives the device's bytes, checks and decodes replies and trigger
// frames, reconstructs the sample time, feeds the running-average engine,
// paces the display and writes the recording file.
//
// No GUI types here: the owner learns about the end of identification, the
// identification text and recording failures through TPaketListener.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "acquisition/Protocol.h"
#include "files/Recording.h"
#include "processing/Average.h"
#include "settings/Optionsprogramm.h"

// The display record of a run. TPaket::TakeSnapshot fills rate and the
// statistics in deg/s.
struct DisplayRecord {
  float time;             // s
  float rate;
  float temperature;      // deg C
  double average;
  double rms;
  double minRms;
  std::uint16_t frame;    // frame counter of trigger frames
  double frameFrequency;  // Hz
};

class TPaketListener {
 public:
  virtual ~TPaketListener() = default;
  // The identification phase is over (identification reply, or the 11th
  // error reply). Called from inside Receive.
  virtual void DeviceIdentified() = 0;
  // Text for the identification label.
  virtual void IdentificationText(const std::string& text) = 0;
  // The recording file could not be created or written (at most once per
  // run). The run goes on.
  virtual void RecordingFailed(const std::string& fileName, const std::string& reason) = 0;
};

class TPaket : public TOptionProgramm {
 public:
  static constexpr int ChunkSize = 4096;
  static constexpr int BufferSize = proto::MaxFrame;  // 255
  static constexpr int RequestSize = 256;
  static constexpr int BlockRecords = 10;

  TPaket();
  ~TPaket() override;
  TPaket(const TPaket&) = delete;
  TPaket& operator=(const TPaket&) = delete;

  // The listener may be null; it must outlive the object or be removed.
  void SetListener(TPaketListener* listener) { Listener = listener; }
  // Computer and user name for the recording header (each cut to 254 bytes).
  // The owner queries them once; they are written into every new header.
  void SetHostNames(const std::string& computer, const std::string& user);

  // Ends any recording (pending records are written first) and prepares a
  // new run from the settings part of this object.
  void Reset();

  void BuildIdentRequest();
  void BuildDataRequest();
  // Frames n payload bytes (n <= 253) with their CRC into Request and
  // SendBuffer. A payload that does not fit leaves an empty request.
  void BuildFrame(const std::uint8_t* payload, std::size_t n);
  // CRC-16/CCITT-FALSE, table-driven; the same values as proto::Crc16.
  static std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) noexcept;

  // Bytes of one receive event. More than ChunkSize bytes are taken in
  // pieces of ChunkSize.
  void Receive(const std::uint8_t* bytes, std::size_t n);

  // Frame checks and handlers; Receive calls them.
  bool CheckFrame();
  bool CheckTriggerFrame();
  void HandleReply();
  void HandleOneCommandReply();
  void HandleTriggerFrame();
  void CheckDisplayPace();

  DisplayRecord TakeSnapshot();

  // Writes the records still in Block, closes the recording file and stops
  // recording for this run. Reset calls it; the owner calls it when the
  // program ends during a run.
  void CloseRecording();
  void Flush() { CloseRecording(); }

  // Current local time as an OLE Automation date; used for the creation time
  // of a recording. Replaceable for a fixed clock.
  std::function<double()> Clock;

  TFastAverageRms AverageEngine;
  SamplePoint Current{};
  DisplayRecord Snapshot{};
  std::array<SamplePoint, BlockRecords> Block{};
  std::int32_t BlockCount = 0;
  SamplePoint Decoded{};
  SamplePoint Previous{};
  std::string RecordName;
  bool RecordEnabled = false;
  int FileHandle = -1;
  bool HeaderWritten = false;
  std::array<std::uint8_t, BufferSize> FrameBuffer{};
  std::int32_t FrameLength = 0;
  std::array<std::uint8_t, RequestSize> Request{};
  std::int32_t RequestLength = 0;
  double SoftTime = 0;
  double TimeOffset = 0;
  std::array<std::uint8_t, ChunkSize> Chunk{};
  std::int32_t ChunkLength = 0;
  bool Identified = false;
  std::array<std::uint8_t, BufferSize> Accum{};
  std::int32_t AccumLength = 0;
  bool DisplayReady = false;
  double DisplayInterval = 0;
  double LastShownTime = 0;
  std::int32_t TriggerLength = 4;
  std::int32_t ErrorReplies = 0;
  std::array<std::uint8_t, rtd::HeaderSize> Header{};
  double FrameFrequency = 0;
  std::array<std::uint8_t, RequestSize> SendBuffer{};

  // Payload of the last request, unescaped: its opcode and field addresses
  // tell how to read the reply.
  std::array<std::uint8_t, RequestSize> RequestPayload{};
  std::int32_t RequestPayloadLength = 0;

  // Counters of the current run, for status lines.
  std::uint64_t RepliesReceived = 0;  // frames that passed their check
  std::uint64_t CrcErrors = 0;        // frames dropped: wrong CRC or too short
  std::uint64_t SamplesAccepted = 0;
  // A recording failure has been reported in this run.
  bool RecordFailed = false;
  // Bytes of the recording file known to be written (header and whole
  // records).
  std::int64_t FileOffset = 0;
  // This run created its recording and wrote the header (the file may have
  // ended early after a failed write; it is then closed already).
  bool FileCreated() const { return FileOffset > 0; }
  // Hardware time of the previous trigger frame in full precision (Previous
  // holds it as f32): equal times must give a zero period.
  double PreviousFrameTime = 0;
  // Software clock steps, from the settings at Reset: 1 / Sample and
  // 1 / FreqImpulse (a Sample below 1 acts as 10, a FreqImpulse that is not
  // a positive number as 100 Hz).
  double PollStep = 0.1;
  double TriggerStep = 0.01;

 private:
  void ReceiveChunk(const std::uint8_t* bytes, int n);
  int ParseStream(int from, int count);
  void ParseTriggerStream(int from, int count);
  void ClearClocks();
  void ReconstructTime();
  void AcceptSample();
  void WriteRecord();
  void CreateRecording();
  void WriteBlock();
  void ReportFailure(int error);
  void PrepareHeader();
  void PutHostNames();
  std::string HeaderIdent() const;

  TPaketListener* Listener = nullptr;
  std::array<char, 255> HostComputer{};
  std::array<char, 255> HostUser{};
};
