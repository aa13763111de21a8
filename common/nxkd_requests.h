// Requests to the Nxkd2650 kernel driver: codes, records and the four send functions.
// The records are the wire format shared with the kernel driver; each is defined once
// here and its size and offsets are checked at compile time, identically in the
// 32-bit and 64-bit builds (handle and address fields are always 64 bits wide).
#pragma once

#include "win32.h"

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Request codes

constexpr DWORD NxCtlCode(DWORD function, DWORD method)
{
    return (0x22u << 16) | (0u << 14) | (function << 2) | method;  // FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS
}
constexpr DWORD kMethodBuffered = 0;
constexpr DWORD kMethodOutDirect = 2;

constexpr DWORD IOCTL_NXKD_GET_DEVICE_INFO = NxCtlCode(0x80F, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_STREAM_LAYOUT = NxCtlCode(0x810, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_DEVICE_READY = NxCtlCode(0x811, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_START_STREAM = NxCtlCode(0x847, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_STOP_STREAM = NxCtlCode(0x848, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_RELEASE_BUFFER = NxCtlCode(0x849, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_LATENCY_INFO = NxCtlCode(0x84A, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_BUFFER_SIZE_INFO = NxCtlCode(0x84C, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_SAMPLE_SIZE = NxCtlCode(0x84E, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_STREAM_POSITION = NxCtlCode(0x84F, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_MAP_BUFFER = NxCtlCode(0x850, kMethodOutDirect);
constexpr DWORD IOCTL_NXKD_REGISTER_EVENTS = NxCtlCode(0x854, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_UNREGISTER_EVENTS = NxCtlCode(0x855, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_SET_INPUT_OPTION = NxCtlCode(0x856, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_SET_ASIO_STATUS = NxCtlCode(0x857, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_ASIO_STATUS = NxCtlCode(0x858, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_SETTINGS = NxCtlCode(0x87A, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_SET_SETTINGS = NxCtlCode(0x87B, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_CLIENT_ACTIVE = NxCtlCode(0x87E, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_SAMPLE_RATE = NxCtlCode(0x8C8, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE = NxCtlCode(0x8C9, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_SET_SAMPLE_RATE = NxCtlCode(0x8CA, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_QUERY_SAMPLE_RATE = NxCtlCode(0x8CB, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_CLOCK_STATUS = NxCtlCode(0x8D0, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_GET_KX_RUNNING = NxCtlCode(0x8D2, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_ASIO_SET_SAMPLE_RATE = NxCtlCode(0x8FA, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE = NxCtlCode(0x8FB, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_ASIO_GET_NOTIFICATION = NxCtlCode(0x8FC, kMethodBuffered);
constexpr DWORD IOCTL_NXKD_ASIO_GET_SAMPLE_RATE = NxCtlCode(0x8FD, kMethodBuffered);

static_assert(IOCTL_NXKD_GET_DEVICE_INFO == 0x22203C);
static_assert(IOCTL_NXKD_GET_STREAM_LAYOUT == 0x222040);
static_assert(IOCTL_NXKD_GET_DEVICE_READY == 0x222044);
static_assert(IOCTL_NXKD_START_STREAM == 0x22211C);
static_assert(IOCTL_NXKD_STOP_STREAM == 0x222120);
static_assert(IOCTL_NXKD_RELEASE_BUFFER == 0x222124);
static_assert(IOCTL_NXKD_GET_LATENCY_INFO == 0x222128);
static_assert(IOCTL_NXKD_GET_BUFFER_SIZE_INFO == 0x222130);
static_assert(IOCTL_NXKD_GET_SAMPLE_SIZE == 0x222138);
static_assert(IOCTL_NXKD_GET_STREAM_POSITION == 0x22213C);
static_assert(IOCTL_NXKD_MAP_BUFFER == 0x222142);
static_assert(IOCTL_NXKD_REGISTER_EVENTS == 0x222150);
static_assert(IOCTL_NXKD_UNREGISTER_EVENTS == 0x222154);
static_assert(IOCTL_NXKD_SET_INPUT_OPTION == 0x222158);
static_assert(IOCTL_NXKD_SET_ASIO_STATUS == 0x22215C);
static_assert(IOCTL_NXKD_GET_ASIO_STATUS == 0x222160);
static_assert(IOCTL_NXKD_GET_SETTINGS == 0x2221E8);
static_assert(IOCTL_NXKD_SET_SETTINGS == 0x2221EC);
static_assert(IOCTL_NXKD_GET_CLIENT_ACTIVE == 0x2221F8);
static_assert(IOCTL_NXKD_GET_SAMPLE_RATE == 0x222320);
static_assert(IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE == 0x222324);
static_assert(IOCTL_NXKD_SET_SAMPLE_RATE == 0x222328);
static_assert(IOCTL_NXKD_QUERY_SAMPLE_RATE == 0x22232C);
static_assert(IOCTL_NXKD_GET_CLOCK_STATUS == 0x222340);
static_assert(IOCTL_NXKD_GET_KX_RUNNING == 0x222348);
static_assert(IOCTL_NXKD_ASIO_SET_SAMPLE_RATE == 0x2223E8);
static_assert(IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE == 0x2223EC);
static_assert(IOCTL_NXKD_ASIO_GET_NOTIFICATION == 0x2223F0);
static_assert(IOCTL_NXKD_ASIO_GET_SAMPLE_RATE == 0x2223F4);

// ---------------------------------------------------------------------------
// Records. One buffer serves as input and output; the kernel driver answers over it.

// A 64-bit handle or address field. The 32-bit build sign-extends, as the kernel expects.
typedef std::int64_t NxHandle64;
inline NxHandle64 HandleToWire(HANDLE h) { return static_cast<NxHandle64>(reinterpret_cast<std::intptr_t>(h)); }
inline HANDLE WireToHandle(NxHandle64 v) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(v)); }
inline NxHandle64 AddressToWire(const void* p) { return static_cast<NxHandle64>(reinterpret_cast<std::intptr_t>(p)); }

// IOCTL_NXKD_GET_DEVICE_READY, IOCTL_NXKD_GET_CLIENT_ACTIVE, IOCTL_NXKD_GET_KX_RUNNING.
struct NxFlagRecord {
    LONG value;  // 0 in; non-zero out when the condition holds
};

// IOCTL_NXKD_GET_DEVICE_INFO.
struct NxDeviceInfoRecord {
    LONG reserved;
    ULONG length;  // 0 to 2048: the significant bytes of info
    BYTE info[2048];
};

// IOCTL_NXKD_GET_STREAM_LAYOUT.
struct NxStreamLayoutRecord {
    LONG reserved;
    BYTE outputs;  // output channels
    BYTE inputs;   // input channels
    BYTE reserved6[2];
};

// {0, value}: IOCTL_NXKD_GET_SAMPLE_SIZE, IOCTL_NXKD_GET_SAMPLE_RATE,
// IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, IOCTL_NXKD_SET_SAMPLE_RATE,
// IOCTL_NXKD_ASIO_GET_SAMPLE_RATE, IOCTL_NXKD_ASIO_GET_NOTIFICATION, IOCTL_NXKD_SET_INPUT_OPTION.
struct NxValueRecord {
    LONG reserved;
    LONG value;
};

// {0, rate, flag}: IOCTL_NXKD_ASIO_SET_SAMPLE_RATE (flag = main device),
// IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE (flag reserved), IOCTL_NXKD_QUERY_SAMPLE_RATE (flag out: offered).
struct NxRateRecord {
    LONG reserved;
    LONG rate;
    LONG flag;
};

// IOCTL_NXKD_START_STREAM.
struct NxStartStreamRecord {
    LONG reserved0;
    LONG reserved4;
    LONG mainFlag;
    LONG reserved12;
    NxHandle64 periodEvent;  // main device only; 0 for the others
};

// IOCTL_NXKD_STOP_STREAM.
struct NxStopStreamRecord {
    LONG reserved0;
    LONG mainFlag;
    LONG reserved8;
};

// IOCTL_NXKD_GET_LATENCY_INFO.
struct NxLatencyRecord {
    LONG reserved;
    LONG inputLatency;   // frames
    LONG outputLatency;  // frames
};

// IOCTL_NXKD_GET_BUFFER_SIZE_INFO (all in frames; granularity 0: only minimum is valid).
struct NxBufferSizeRecord {
    LONG minimum;
    LONG maximum;
    LONG preferred;
    LONG granularity;
};

// IOCTL_NXKD_GET_STREAM_POSITION.
struct NxStreamPositionRecord {
    LONG reserved0;
    ULONG clientTimeMs;  // in: caller's timeGetTime()
    ULONG kernelTimeMs;  // out: time of the kernel's current period
    ULONG kernelPeriod;  // out: 0 to 63
};

// IOCTL_NXKD_MAP_BUFFER input: {0, N, N * 64}.
struct NxMapBufferRecord {
    LONG reserved;
    LONG periodFrames;
    LONG ringFrames;
};

// IOCTL_NXKD_REGISTER_EVENTS and IOCTL_NXKD_UNREGISTER_EVENTS.
struct NxEventRegistration {
    LONG reserved0;
    LONG mainFlag;
    NxHandle64 messageEvent;
    NxHandle64 reserved16;
    NxHandle64 removalEvent;
    NxHandle64 reserved32;
};

// IOCTL_NXKD_SET_ASIO_STATUS and IOCTL_NXKD_GET_ASIO_STATUS.
struct NxAsioStatusRecord {
    LONG reserved0;
    LONG deviceCount;  // out of GET: non-zero while an ASIO client's status is stored
    LONG sampleRate;
    BYTE reserved12[20];
};

// IOCTL_NXKD_GET_SETTINGS and IOCTL_NXKD_SET_SETTINGS: the driver settings record.
constexpr int kRateTableRows = 10;
constexpr int kRateTableColumns = 7;
struct NxSettingsRecord {
    LONG rateTable[kRateTableRows][kRateTableColumns];
    LONG option280;
    LONG option284;
    LONG latencyLevel;       // 0 to 9
    LONG option292;
    LONG independentRate;    // 0: the Windows sound port follows the ASIO rate
    LONG adjustment1Enabled;
    LONG adjustment1;
    LONG adjustment2Enabled;
    LONG adjustment2;
    LONG levelMode;
    LONG option320;
    LONG option324;
    LONG option328;
    LONG option332;
    LONG status;             // GET: non-zero with settings; SET: the verdict
};
constexpr DWORD kSettingsCopyBytes = 336;  // what a client keeps: everything but the status word

// Fills offsets 280 to 332 with the defaults every client presets before a read.
void PresetSettingsDefaults(NxSettingsRecord* record);

// IOCTL_NXKD_GET_CLOCK_STATUS.
struct NxClockStatusRecord {
    LONG reserved0;
    LONG runningRate;
    LONG rateSetting;
    BYTE externalClock;
    BYTE clockLocked;
    BYTE reserved14[6];
};

// Header of the transfer block shared with the kernel driver through IOCTL_NXKD_MAP_BUFFER.
// Rings follow at headerSize: the input rings, then the output rings, 64 periods each.
struct TransferBlockHeader {
    LONG headerSize;        // 104
    LONG reserved4;
    LONG halted;            // kernel: its stream stopped on its own
    LONG haltAcknowledged;  // driver: has seen halted
    LONG kernelPeriod;      // kernel: 0 to 63
    LONG clientPeriod;      // driver: 0 to 63
    NxHandle64 inRingBegin;
    NxHandle64 inRingEnd;
    LONG inReadOffset;
    LONG inWrapCount;
    LONG reserved48;
    LONG reserved52;
    LONG inRingSize;
    LONG reserved60;
    NxHandle64 outRingBegin;
    NxHandle64 outRingEnd;
    LONG reserved80;
    LONG reserved84;
    LONG outWriteOffset;
    LONG outWrapCount;
    LONG outRingSize;
    LONG reserved100;
};
constexpr LONG kTransferHeaderSize = 104;
constexpr LONG kRingPeriods = 64;

// Words of the header shared with the other side are read and written as single
// aligned accesses; these keep the compiler from tearing, caching or reordering them.
inline LONG LoadShared(const LONG* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
inline void StoreShared(LONG* word, LONG value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }

// ---------------------------------------------------------------------------
// Layout checks: identical on every build.

#define NX_CHECK_FIELD(T, field, offset) static_assert(offsetof(T, field) == (offset), #T "." #field)

static_assert(sizeof(NxFlagRecord) == 4);
static_assert(sizeof(NxDeviceInfoRecord) == 2056);
NX_CHECK_FIELD(NxDeviceInfoRecord, length, 4);
NX_CHECK_FIELD(NxDeviceInfoRecord, info, 8);
static_assert(sizeof(NxStreamLayoutRecord) == 8);
NX_CHECK_FIELD(NxStreamLayoutRecord, outputs, 4);
NX_CHECK_FIELD(NxStreamLayoutRecord, inputs, 5);
static_assert(sizeof(NxValueRecord) == 8);
NX_CHECK_FIELD(NxValueRecord, value, 4);
static_assert(sizeof(NxRateRecord) == 12);
NX_CHECK_FIELD(NxRateRecord, rate, 4);
NX_CHECK_FIELD(NxRateRecord, flag, 8);
static_assert(sizeof(NxStartStreamRecord) == 24);
NX_CHECK_FIELD(NxStartStreamRecord, mainFlag, 8);
NX_CHECK_FIELD(NxStartStreamRecord, periodEvent, 16);
static_assert(sizeof(NxStopStreamRecord) == 12);
NX_CHECK_FIELD(NxStopStreamRecord, mainFlag, 4);
static_assert(sizeof(NxLatencyRecord) == 12);
NX_CHECK_FIELD(NxLatencyRecord, inputLatency, 4);
NX_CHECK_FIELD(NxLatencyRecord, outputLatency, 8);
static_assert(sizeof(NxBufferSizeRecord) == 16);
NX_CHECK_FIELD(NxBufferSizeRecord, maximum, 4);
NX_CHECK_FIELD(NxBufferSizeRecord, preferred, 8);
NX_CHECK_FIELD(NxBufferSizeRecord, granularity, 12);
static_assert(sizeof(NxStreamPositionRecord) == 16);
NX_CHECK_FIELD(NxStreamPositionRecord, clientTimeMs, 4);
NX_CHECK_FIELD(NxStreamPositionRecord, kernelTimeMs, 8);
NX_CHECK_FIELD(NxStreamPositionRecord, kernelPeriod, 12);
static_assert(sizeof(NxMapBufferRecord) == 12);
NX_CHECK_FIELD(NxMapBufferRecord, periodFrames, 4);
NX_CHECK_FIELD(NxMapBufferRecord, ringFrames, 8);
static_assert(sizeof(NxEventRegistration) == 40);
NX_CHECK_FIELD(NxEventRegistration, mainFlag, 4);
NX_CHECK_FIELD(NxEventRegistration, messageEvent, 8);
NX_CHECK_FIELD(NxEventRegistration, reserved16, 16);
NX_CHECK_FIELD(NxEventRegistration, removalEvent, 24);
NX_CHECK_FIELD(NxEventRegistration, reserved32, 32);
static_assert(sizeof(NxAsioStatusRecord) == 32);
NX_CHECK_FIELD(NxAsioStatusRecord, deviceCount, 4);
NX_CHECK_FIELD(NxAsioStatusRecord, sampleRate, 8);
static_assert(sizeof(NxSettingsRecord) == 340);
NX_CHECK_FIELD(NxSettingsRecord, option280, 280);
NX_CHECK_FIELD(NxSettingsRecord, latencyLevel, 288);
NX_CHECK_FIELD(NxSettingsRecord, independentRate, 296);
NX_CHECK_FIELD(NxSettingsRecord, adjustment1Enabled, 300);
NX_CHECK_FIELD(NxSettingsRecord, adjustment1, 304);
NX_CHECK_FIELD(NxSettingsRecord, adjustment2Enabled, 308);
NX_CHECK_FIELD(NxSettingsRecord, adjustment2, 312);
NX_CHECK_FIELD(NxSettingsRecord, levelMode, 316);
NX_CHECK_FIELD(NxSettingsRecord, option320, 320);
NX_CHECK_FIELD(NxSettingsRecord, option332, 332);
NX_CHECK_FIELD(NxSettingsRecord, status, 336);
static_assert(sizeof(NxClockStatusRecord) == 20);
NX_CHECK_FIELD(NxClockStatusRecord, runningRate, 4);
NX_CHECK_FIELD(NxClockStatusRecord, rateSetting, 8);
NX_CHECK_FIELD(NxClockStatusRecord, externalClock, 12);
NX_CHECK_FIELD(NxClockStatusRecord, clockLocked, 13);
static_assert(sizeof(TransferBlockHeader) == kTransferHeaderSize);
NX_CHECK_FIELD(TransferBlockHeader, halted, 8);
NX_CHECK_FIELD(TransferBlockHeader, haltAcknowledged, 12);
NX_CHECK_FIELD(TransferBlockHeader, kernelPeriod, 16);
NX_CHECK_FIELD(TransferBlockHeader, clientPeriod, 20);
NX_CHECK_FIELD(TransferBlockHeader, inRingBegin, 24);
NX_CHECK_FIELD(TransferBlockHeader, inRingEnd, 32);
NX_CHECK_FIELD(TransferBlockHeader, inReadOffset, 40);
NX_CHECK_FIELD(TransferBlockHeader, inWrapCount, 44);
NX_CHECK_FIELD(TransferBlockHeader, inRingSize, 56);
NX_CHECK_FIELD(TransferBlockHeader, outRingBegin, 64);
NX_CHECK_FIELD(TransferBlockHeader, outRingEnd, 72);
NX_CHECK_FIELD(TransferBlockHeader, outWriteOffset, 88);
NX_CHECK_FIELD(TransferBlockHeader, outWrapCount, 92);
NX_CHECK_FIELD(TransferBlockHeader, outRingSize, 96);
#undef NX_CHECK_FIELD

// ---------------------------------------------------------------------------
// Device object paths: "\\.\Nxkd2650001" for device number 1.

constexpr int kDevicePathChars = 260;
void FormatDevicePathA(char (&path)[kDevicePathChars], int number);
void FormatDevicePathW(WCHAR (&path)[kDevicePathChars], int number);

// Opens a device object with the parameters every client uses (read/write, no sharing,
// open existing, overlapped). INVALID_HANDLE_VALUE when the device is absent.
HANDLE OpenDeviceA(const char* path);
HANDLE OpenDeviceW(const WCHAR* path);
void CloseDevice(HANDLE handle);

// ---------------------------------------------------------------------------
// The four ways a request is sent.

// One synchronous request with the record as input and output; length 0 sends no buffers.
bool SendRequest(HANDLE handle, DWORD code, void* record, DWORD length);
// Opens a temporary handle, sends, closes. False when the open fails.
bool SendRequestOnce(const char* path, DWORD code, void* record, DWORD length);
bool SendRequestOnce(const WCHAR* path, DWORD code, void* record, DWORD length);
// Hands a transfer block to the kernel driver with a pending IOCTL_NXKD_MAP_BUFFER.
bool BeginMapBuffer(HANDLE handle, NxMapBufferRecord* input, void* block, DWORD blockLength,
                    OVERLAPPED* overlapped);
// Releases the mapping and waits for the kernel driver to complete it.
void EndMapBuffer(HANDLE handle, OVERLAPPED* overlapped);
