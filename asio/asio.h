// Our declaration of the ASIO driver interface, written from the published facts of
// Steinberg's ASIO standard. Windows is LLP64, so ASIO's "long" is 32 bits on every build
// here (LONG); the Linux library keeps the Windows layout.
//
// Calling conventions on 32-bit x86: QueryInterface/AddRef/Release are __stdcall
// (STDMETHODCALLTYPE); the other IASIO slots use the compiler's member-function
// convention (thiscall), as hosts built with the platform's usual compiler expect; the
// host's callbacks use the C convention.
#pragma once

#include "win32.h"

typedef LONG ASIOBool;
typedef LONG ASIOError;
typedef LONG ASIOSampleType;
typedef double ASIOSampleRate;

enum : LONG { ASIOFalse = 0, ASIOTrue = 1 };

enum : LONG {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3f4847a0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

enum : LONG {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
};

// Selectors of IASIO::future.
enum : LONG {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    kAsioTransport = 4,
    kAsioSetInputGain = 5,
    kAsioGetInputMeter = 6,
    kAsioSetOutputGain = 7,
    kAsioGetOutputMeter = 8,
    kAsioCanInputMonitor = 9,
    kAsioCanTimeInfo = 10,
    kAsioCanTimeCode = 11,
    kAsioCanTransport = 12,
    kAsioCanInputGain = 13,
    kAsioCanInputMeter = 14,
    kAsioCanOutputGain = 15,
    kAsioCanOutputMeter = 16,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
};

// Selectors of ASIOCallbacks::asioMessage.
enum : LONG {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioBufferSizeChange = 4,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
};

struct ASIOSamples {
    ULONG hi;
    ULONG lo;
};

struct ASIOTimeStamp {
    ULONG hi;
    ULONG lo;
};

struct ASIOClockSource {
    LONG index;
    LONG associatedChannel;
    LONG associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    LONG channel;
    ASIOBool isInput;
    ASIOBool isActive;
    LONG channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    LONG channelNum;
    void* buffers[2];
};

struct ASIOTime;  // only passed through bufferSwitchTimeInfo, which this driver never calls

struct ASIOCallbacks {
    void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    LONG (*asioMessage)(LONG selector, LONG value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, LONG doubleBufferIndex, ASIOBool directProcess);
};

// The driver interface: IUnknown's three slots, then 21 in the standard's order.
struct IASIO : public IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual LONG getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) = 0;
    virtual ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) = 0;
    virtual ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) = 0;
    virtual ASIOError setClockSource(LONG reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(LONG selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;
};

static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);

// The driver's class identifier, which hosts also pass as the interface identifier.
// {6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}
extern const CLSID CLSID_Brixen;
