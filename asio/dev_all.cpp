// The device set: finding, opening and registering the device, changing its sampling
// frequency, and closing it again (at destruction or when the kernel driver removes it).
#include "dev_all.h"

#include "asio_ours.h"
#include "trace.h"

#include <cstdint>
#include <cstring>

static const DWORD kDefaultSampleRate = 44100;
static const LONG kDefaultBytesPerSample = 2;
static const int kRatePollReads = 30;
static const DWORD kRatePollSleepMs = 100;

// Clears all of an event registration record but its first word.
static void ClearRegistration(NxEventRegistration* registration)
{
    LONG first = registration->reserved0;
    std::memset(registration, 0, sizeof(*registration));
    registration->reserved0 = first;
}

// Marks the slot closed before its handle is closed, so that the handle value is never
// seen in the slot once the kernel driver has let go of it.
static void CloseHandleOf(CDevOne* slot)
{
    HANDLE device = slot->handle;
    slot->handle = INVALID_HANDLE_VALUE;
    CloseDevice(device);
}

// ---------------------------------------------------------------------------
// CDevOne

CDevOne::CDevOne()
    : index(0),
      handle(INVALID_HANDLE_VALUE),
      audioBlockHandle(nullptr),
      audioBlock(nullptr),
      audioBlockBytes(0),
      transferBlockHandle(nullptr),
      transferBlock(nullptr),
      transferBlockBytes(0),
      inputOption(0),
      running(0)
{
    path[0] = '\0';
    std::memset(&overlapped, 0, sizeof(overlapped));
    std::memset(&registration, 0, sizeof(registration));
}

CDevOne::~CDevOne()
{
    FreeBlocks();
    // Only left when the kernel driver never saw the mapping through; nothing waits on it.
    if (overlapped.hEvent != nullptr) {
        CloseHandle(overlapped.hEvent);
        overlapped.hEvent = nullptr;
    }
}

void CDevOne::Init(int slotIndex)
{
    index = slotIndex;
    FormatDevicePathA(path, slotIndex + 1);
    handle = INVALID_HANDLE_VALUE;
    overlapped.hEvent = nullptr;
    running = 0;
}

bool CDevOne::Open()
{
    // The ready check runs on a handle of its own, so that a device that is not ready
    // keeps nothing open.
    NxFlagRecord ready = {0};
    if (!SendRequestOnce(path, IOCTL_NXKD_GET_DEVICE_READY, &ready, sizeof(ready)) || ready.value == 0)
        return false;
    handle = OpenDeviceA(path);
    return handle != INVALID_HANDLE_VALUE;
}

void CDevOne::Close()
{
    Trace("CDevOne::Close() : %d", static_cast<int>(index));
    HANDLE device = handle;
    if (device == INVALID_HANDLE_VALUE) {
        ClearRegistration(&registration);
        return;
    }
    // The kernel driver gives the transfer block back before the handle goes away; the
    // blocks themselves stay until DisposeBuf.
    if (overlapped.hEvent != nullptr)
        EndMapBuffer(device, &overlapped);
    SendRequest(device, IOCTL_NXKD_UNREGISTER_EVENTS, &registration, sizeof(registration));
    ClearRegistration(&registration);
    CloseHandleOf(this);
}

BYTE* CDevOne::AudioBase() const
{
    if (audioBlock == nullptr)
        return nullptr;
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(audioBlock);
    return audioBlock + ((64 - (address & 63)) & 63);
}

// ---------------------------------------------------------------------------
// CDevAll

CDevAll::CDevAll()
    : main(nullptr),
      mainCount(0),
      inputsPerDevice(0),
      outputsPerDevice(0),
      bytesPerSample(0),
      periodBytes(0),
      sampleRate(0)
{
    std::memset(present, 0, sizeof(present));
    std::memset(inputActive, 0, sizeof(inputActive));
    std::memset(outputActive, 0, sizeof(outputActive));
    InitializeCriticalSection(&handleLock);
}

CDevAll::~CDevAll()
{
    DeleteCriticalSection(&handleLock);
}

bool CDevAll::SendToMain(DWORD code, void* record, DWORD length)
{
    EnterCriticalSection(&handleLock);
    bool sent = MainOpen() && SendRequest(main->handle, code, record, length);
    LeaveCriticalSection(&handleLock);
    return sent;
}

void CDevAll::Init(AsioOurs* owner)
{
    for (int i = 0; i < kDeviceSlots; ++i)
        slots[i].Init(i);
    mainCount = 0;
    inputsPerDevice = 0;
    outputsPerDevice = 0;
    sampleRate = 0;
    main = nullptr;
    thread.owner = owner;
    std::memset(inputActive, 0, sizeof(inputActive));
    std::memset(outputActive, 0, sizeof(outputActive));
}

bool CDevAll::OpenDevs()
{
    Trace("CDevAll::OpenDevs()");
    mainCount = 0;
    main = nullptr;

    // The events exist before SetMain hands them to the kernel driver.
    bool ok = thread.Start() && SetMain();
    if (ok) {
        // Registered: the worker thread may handle a removal from now on. handleLock is
        // released before CloseDevs, which waits for that thread.
        EnterCriticalSection(&handleLock);
        ok = ProbeMain() && mainCount > 0;
        if (ok)
            MarkPresent();
        LeaveCriticalSection(&handleLock);
    }
    if (!ok) {
        CloseDevs();
        return false;
    }
    return true;
}

bool CDevAll::ProbeMain()
{
    // Only whether the device answers matters; the replies are not used.
    NxDeviceInfoRecord info;
    std::memset(&info, 0, sizeof(info));
    if (!MainOpen() || !SendRequest(main->handle, IOCTL_NXKD_GET_DEVICE_INFO, &info, sizeof(info)))
        return false;
    NxSettingsRecord probe;
    std::memset(&probe, 0, sizeof(probe));
    PresetSettingsDefaults(&probe);
    return SendRequest(main->handle, IOCTL_NXKD_GET_SETTINGS, &probe, sizeof(probe));
}

void CDevAll::MarkPresent()
{
    for (int i = 0; i < kDeviceSlots; ++i) {
        present[i] = slots[i].IsOpen() ? 1 : 0;
        if (!slots[i].IsOpen())
            continue;
        slots[i].inputOption = 0;
        SendAsioStatus(slots[i]);
    }
}

bool CDevAll::SetMain()
{
    for (int i = 0; i < kCandidateSlots && main == nullptr; ++i) {
        if (slots[i].Open())
            main = &slots[i];
    }
    if (main == nullptr)
        return false;
    // From here on no other candidate is examined, whatever the device answers.
    HANDLE device = main->handle;

    NxValueRecord rate = {0, static_cast<LONG>(kDefaultSampleRate)};
    sampleRate = SendRequest(device, IOCTL_NXKD_GET_SAMPLE_RATE, &rate, sizeof(rate))
                     ? static_cast<DWORD>(rate.value)
                     : kDefaultSampleRate;

    NxRateRecord asioRate = {0, static_cast<LONG>(sampleRate), 1};
    SendRequest(device, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, &asioRate, sizeof(asioRate));

    NxValueRecord size = {0, kDefaultBytesPerSample};
    bytesPerSample = SendRequest(device, IOCTL_NXKD_GET_SAMPLE_SIZE, &size, sizeof(size))
                         ? size.value
                         : kDefaultBytesPerSample;

    inputsPerDevice = 0;
    outputsPerDevice = 0;
    NxStreamLayoutRecord layout;
    std::memset(&layout, 0, sizeof(layout));
    if (SendRequest(device, IOCTL_NXKD_GET_STREAM_LAYOUT, &layout, sizeof(layout))) {
        outputsPerDevice = layout.outputs;
        inputsPerDevice = layout.inputs;
    }

    NxEventRegistration& record = main->registration;
    std::memset(&record, 0, sizeof(record));
    record.mainFlag = 1;
    record.messageEvent = HandleToWire(thread.MessageEvent());
    record.removalEvent = HandleToWire(thread.RemovalEvent(main->index));
    if (SendRequest(device, IOCTL_NXKD_REGISTER_EVENTS, &record, sizeof(record))) {
        mainCount += 1;
        return true;
    }

    SendRequest(device, IOCTL_NXKD_UNREGISTER_EVENTS, &record, sizeof(record));
    ClearRegistration(&record);
    CloseHandleOf(main);
    main = nullptr;
    return false;
}

void CDevAll::CloseSlots()
{
    EnterCriticalSection(&handleLock);
    if (main != nullptr) {
        for (CDevOne& slot : slots) {
            if (!slot.IsOpen())
                continue;
            SendRequest(slot.handle, IOCTL_NXKD_UNREGISTER_EVENTS, &slot.registration,
                        sizeof(slot.registration));
            ClearRegistration(&slot.registration);
            CloseHandleOf(&slot);
        }
        main = nullptr;
    }
    LeaveCriticalSection(&handleLock);
}

void CDevAll::CloseDevs()
{
    CloseSlots();
    // Must not run on the worker thread: this waits for it to end.
    thread.Stop();
    mainCount = 0;
    std::memset(present, 0, sizeof(present));
}

void CDevAll::OnRemoval(int slot)
{
    if (slot < 0 || slot >= kDeviceSlots)
        return;
    Trace("CDevAll::OnRemoval(%d)", slot);
    EnterCriticalSection(&handleLock);
    slots[slot].Close();
    if (main == &slots[slot]) {
        // Without another open slot `main` stays on the closed one; every later request
        // finds its handle invalid. mainCount, the channel counts and the rate stay.
        for (CDevOne& candidate : slots) {
            if (candidate.IsOpen()) {
                main = &candidate;
                break;
            }
        }
    }
    LeaveCriticalSection(&handleLock);
}

bool CDevAll::CanFreq(DWORD rate)
{
    bool accepted = false;
    EnterCriticalSection(&handleLock);  // canSampleRate calls this without apiLock
    for (CDevOne& slot : slots) {
        if (!slot.IsOpen())
            continue;
        NxRateRecord record = {0, static_cast<LONG>(rate), 0};
        if (SendRequest(slot.handle, IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE, &record, sizeof(record)) &&
            static_cast<DWORD>(record.rate) == rate)
            accepted = true;
    }
    LeaveCriticalSection(&handleLock);
    return accepted;
}

bool CDevAll::SetFreq(DWORD rate)
{
    if (!CanFreq(rate))
        return false;

    // The kernel driver's own stream (Kx) pins the frequency; asked on a handle of its own.
    for (CDevOne& slot : slots) {
        if (!slot.IsOpen())
            continue;
        NxFlagRecord kx = {0};
        if (SendRequestOnce(slot.path, IOCTL_NXKD_GET_KX_RUNNING, &kx, sizeof(kx)) && kx.value != 0) {
            Trace("CDevAl::SetFreq(%d) failed. Kx is running!!", static_cast<int>(rate));
            return false;
        }
    }

    bool anyChanged = false;
    for (CDevOne& slot : slots) {
        if (!slot.IsOpen())
            continue;
        NxRateRecord record = {0, static_cast<LONG>(rate), 0};
        if (SendRequest(slot.handle, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, &record, sizeof(record)))
            anyChanged = true;
    }
    if (!anyChanged)
        return false;

    if (MainOpen()) {
        NxRateRecord record = {0, static_cast<LONG>(rate), 1};
        SendRequest(main->handle, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, &record, sizeof(record));
    }

    // Give the device time to run at the new frequency; not getting there is no failure.
    for (CDevOne& slot : slots) {
        if (!slot.IsOpen())
            continue;
        for (int read = 0; read < kRatePollReads; ++read) {
            NxValueRecord current = {0, static_cast<LONG>(kDefaultSampleRate)};
            if (!SendRequest(slot.handle, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, &current, sizeof(current)))
                current.value = static_cast<LONG>(kDefaultSampleRate);
            if (static_cast<DWORD>(current.value) == rate)
                break;
            Sleep(kRatePollSleepMs);
        }
    }

    CheckFreq();
    return true;
}

void CDevAll::CheckFreq()
{
    DWORD newRate = kDefaultSampleRate;
    if (MainOpen()) {
        NxValueRecord record = {0, static_cast<LONG>(kDefaultSampleRate)};
        if (SendRequest(main->handle, IOCTL_NXKD_ASIO_GET_SAMPLE_RATE, &record, sizeof(record)))
            newRate = static_cast<DWORD>(record.value);
    }
    Trace("CDevAll::CheckFreq() : cur %d, new %d", static_cast<int>(sampleRate), static_cast<int>(newRate));
    StoreShared(reinterpret_cast<LONG*>(&sampleRate), static_cast<LONG>(newRate));
    if (MainOpen())
        SendAsioStatus(*main);
}

void CDevAll::SendAsioStatus(CDevOne& slot)
{
    NxAsioStatusRecord status;
    std::memset(&status, 0, sizeof(status));
    status.deviceCount = mainCount;
    status.sampleRate = static_cast<LONG>(sampleRate);
    SendRequest(slot.handle, IOCTL_NXKD_SET_ASIO_STATUS, &status, sizeof(status));
}
