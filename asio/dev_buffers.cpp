// The device set's buffers: per slot the host-visible AsioBufferBlock and the
// TransferBlock shared with the kernel driver, their hand-over and release, the stream
// start and stop requests, and the copies between the host's halves and the rings.
#include "dev_all.h"

#include "slot_running.h"
#include "trace.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

constexpr std::uint64_t kBlockAlignment = 64;
constexpr LONG kMinBytesPerSample = 2;  // the sample formats a host can be told about
constexpr LONG kMaxBytesPerSample = 4;

std::uint64_t Align64(std::uint64_t bytes)
{
    return (bytes + kBlockAlignment - 1) & ~(kBlockAlignment - 1);
}

// Blocks are allocated with SIZE_T lengths and the transfer block is handed to the kernel
// driver with a DWORD length: whatever does not fit both is refused.
bool FitsBlockLength(std::uint64_t bytes)
{
    return bytes <= static_cast<std::uint64_t>(static_cast<SIZE_T>(-1)) &&
           bytes <= static_cast<std::uint64_t>(static_cast<DWORD>(-1));
}

// Movable, zero-initialised global memory, locked for its whole life.
bool AllocateLocked(std::uint64_t bytes, HGLOBAL* handle, BYTE** pointer, SIZE_T* size)
{
    *handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(bytes));
    if (*handle == nullptr)
        return false;
    *pointer = static_cast<BYTE*>(GlobalLock(*handle));
    *size = GlobalSize(*handle);
    if (*pointer == nullptr || *size < bytes) {
        if (*pointer != nullptr)
            GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
        *pointer = nullptr;
        *size = 0;
        return false;
    }
    return true;
}

void FreeLocked(HGLOBAL* handle, BYTE** pointer, SIZE_T* size)
{
    if (*handle != nullptr) {
        GlobalUnlock(*handle);
        GlobalFree(*handle);
    }
    *handle = nullptr;
    *pointer = nullptr;
    *size = 0;
}

// The header words are shared with the kernel driver: one aligned store or load each.
void ZeroWords(TransferBlockHeader* header, std::initializer_list<LONG TransferBlockHeader::*> words)
{
    for (LONG TransferBlockHeader::*word : words)
        StoreShared(&(header->*word), 0);
}

void StoreAddress(NxHandle64* field, const void* address)
{
    __atomic_store_n(field, AddressToWire(address), __ATOMIC_RELAXED);
}

// Copies `bytes` from a ring starting `offset` bytes into it, continuing at the ring's
// begin when its end comes first. Offsets outside the ring are not copied.
bool CopyFromRing(BYTE* destination, const BYTE* ring, LONG ringBytes, LONG offset, LONG bytes)
{
    if (offset < 0 || offset > ringBytes || bytes > ringBytes)
        return false;
    const LONG first = bytes < ringBytes - offset ? bytes : ringBytes - offset;
    std::memcpy(destination, ring + offset, static_cast<size_t>(first));
    if (first < bytes)
        std::memcpy(destination + first, ring, static_cast<size_t>(bytes - first));
    return true;
}

bool CopyToRing(BYTE* ring, LONG ringBytes, LONG offset, const BYTE* source, LONG bytes)
{
    if (offset < 0 || offset > ringBytes || bytes > ringBytes)
        return false;
    const LONG first = bytes < ringBytes - offset ? bytes : ringBytes - offset;
    std::memcpy(ring + offset, source, static_cast<size_t>(first));
    if (first < bytes)
        std::memcpy(ring, source + first, static_cast<size_t>(bytes - first));
    return true;
}

// Moves a ring offset on by one period, wrapping at the ring size. The offset lives in
// memory the kernel driver can write, so whatever it holds is brought back into the ring
// rather than left to run past it (or overflow).
void AdvanceOffset(LONG* offset, LONG* wrapCount, LONG periodBytes, LONG ringBytes)
{
    std::int64_t next = static_cast<std::int64_t>(LoadShared(offset)) + periodBytes;
    if (next >= ringBytes || next < 0) {
        next = ((next % ringBytes) + ringBytes) % ringBytes;
        StoreShared(wrapCount, static_cast<LONG>(static_cast<DWORD>(LoadShared(wrapCount)) + 1));
    }
    StoreShared(offset, static_cast<LONG>(next));
}

}  // namespace

// ---------------------------------------------------------------------------
// CDevOne

bool CDevOne::CreateBuffer(bool isPresent, LONG size, LONG bytesPerSample, LONG channels)
{
    Trace("CDevOne::CreateBuffer(long %d)", static_cast<int>(size));
    if (!isPresent)
        return true;
    if (size < 0 || bytesPerSample <= 0 || channels <= 0)
        return false;

    const std::uint64_t perChannel = static_cast<std::uint64_t>(bytesPerSample);
    const std::uint64_t channelCount = static_cast<std::uint64_t>(channels);
    const std::uint64_t audioBytes =
        Align64(2 * static_cast<std::uint64_t>(kMaxBufferFrames) * perChannel * channelCount) + kBlockAlignment;
    const std::uint64_t ringBytes = static_cast<std::uint64_t>(size) * perChannel * kRingPeriods;
    const std::uint64_t transferBytes = kTransferHeaderSize + ringBytes * channelCount;
    Trace("  >>CDevOne::CreateBuffer : max %d(%d samples), req %d(%d samples), chs %d",
          static_cast<int>(kMaxBufferFrames * bytesPerSample), static_cast<int>(kMaxBufferFrames),
          static_cast<int>(size * bytesPerSample), static_cast<int>(size), static_cast<int>(channels));
    if (!FitsBlockLength(audioBytes) || !FitsBlockLength(transferBytes) ||
        ringBytes > static_cast<std::uint64_t>(0x7FFFFFFF))
        return false;

    // A new mapping is made only after the previous one has completed.
    if (HasBlocks() || overlapped.hEvent != nullptr)
        ReleaseBuffers();

    if (!AllocateLocked(audioBytes, &audioBlockHandle, &audioBlock, &audioBlockBytes))
        return false;
    if (!AllocateLocked(transferBytes, &transferBlockHandle, &transferBlock, &transferBlockBytes)) {
        FreeBlocks();
        return false;
    }
    TransferBlockHeader* header = Transfer();
    header->headerSize = kTransferHeaderSize;
    ZeroWords(header, {&TransferBlockHeader::reserved4, &TransferBlockHeader::halted,
                       &TransferBlockHeader::haltAcknowledged, &TransferBlockHeader::kernelPeriod,
                       &TransferBlockHeader::clientPeriod});
    header->inRingSize = static_cast<LONG>(ringBytes);
    header->outRingSize = static_cast<LONG>(ringBytes);

    if (IsOpen()) {
        NxMapBufferRecord input = {0, size, size * kRingPeriods};
        if (!BeginMapBuffer(handle, &input, transferBlock, static_cast<DWORD>(transferBlockBytes), &overlapped)) {
            FreeBlocks();
            return false;
        }
    }
    return true;
}

void CDevOne::ReleaseBuffers()
{
    // The kernel driver gives the transfer block back first; only then is it freed.
    if (IsOpen() && overlapped.hEvent != nullptr)
        EndMapBuffer(handle, &overlapped);
    if (overlapped.hEvent != nullptr) {
        // The handle went away with its request; nothing is left to wait for.
        CloseHandle(overlapped.hEvent);
        overlapped.hEvent = nullptr;
    }
    FreeBlocks();
}

void CDevOne::FreeBlocks()
{
    FreeLocked(&audioBlockHandle, &audioBlock, &audioBlockBytes);
    FreeLocked(&transferBlockHandle, &transferBlock, &transferBlockBytes);
}

void CDevOne::CopyInput(LONG half, LONG nIn, LONG periodBytes)
{
    if (!IsOpen() || !HasBlocks() || LoadRunning(running) == 0)
        return;
    TransferBlockHeader* header = Transfer();
    if (LoadShared(&header->halted) == 1 || LoadShared(&header->haltAcknowledged) == 1)
        return;
    const LONG ringBytes = periodBytes * kRingPeriods;
    // Channel counts and the period are the ones the blocks were made for; anything else
    // would reach past them.
    if (periodBytes <= 0 || nIn < 0 ||
        static_cast<std::uint64_t>(kTransferHeaderSize) + static_cast<std::uint64_t>(nIn) * ringBytes >
            transferBlockBytes ||
        2 * static_cast<std::uint64_t>(nIn) * static_cast<std::uint64_t>(periodBytes) + kBlockAlignment >
            audioBlockBytes)
        return;

    BYTE* rings = transferBlock + kTransferHeaderSize;
    BYTE* base = AudioBase();
    const LONG offset = LoadShared(&header->inReadOffset);
    for (LONG k = 0; k < nIn; ++k) {
        const BYTE* ring = rings + static_cast<SIZE_T>(k) * ringBytes;
        CopyFromRing(base + static_cast<SIZE_T>(2 * k + half) * periodBytes, ring, ringBytes, offset, periodBytes);
    }
    if (nIn > 0) {
        const BYTE* last = rings + static_cast<SIZE_T>(nIn - 1) * ringBytes;
        StoreAddress(&header->inRingBegin, last);
        StoreAddress(&header->inRingEnd, last + ringBytes);
    }
    AdvanceOffset(&header->inReadOffset, &header->inWrapCount, periodBytes, ringBytes);
}

void CDevOne::CopyOutput(LONG half, LONG nIn, LONG nOut, LONG periodBytes)
{
    if (!IsOpen() || !HasBlocks() || LoadRunning(running) == 0)
        return;
    TransferBlockHeader* header = Transfer();
    if (LoadShared(&header->halted) == 1 || LoadShared(&header->haltAcknowledged) == 1)
        return;
    const LONG ringBytes = periodBytes * kRingPeriods;
    const std::uint64_t channels = static_cast<std::uint64_t>(nIn) + static_cast<std::uint64_t>(nOut);
    if (periodBytes <= 0 || nIn < 0 || nOut < 0 ||
        kTransferHeaderSize + channels * ringBytes > transferBlockBytes ||
        2 * channels * static_cast<std::uint64_t>(periodBytes) + kBlockAlignment > audioBlockBytes)
        return;

    BYTE* rings = transferBlock + kTransferHeaderSize;
    const BYTE* base = AudioBase();
    const LONG offset = LoadShared(&header->outWriteOffset);
    for (LONG j = 0; j < nOut; ++j) {
        const LONG c = nIn + j;
        BYTE* ring = rings + static_cast<SIZE_T>(c) * ringBytes;
        CopyToRing(ring, ringBytes, offset, base + static_cast<SIZE_T>(2 * c + half) * periodBytes, periodBytes);
    }
    if (nOut > 0) {
        const BYTE* last = rings + static_cast<SIZE_T>(nIn + nOut - 1) * ringBytes;
        StoreAddress(&header->outRingBegin, last);
        StoreAddress(&header->outRingEnd, last + ringBytes);
    }
    AdvanceOffset(&header->outWriteOffset, &header->outWrapCount, periodBytes, ringBytes);
}

// ---------------------------------------------------------------------------
// CDevAll

bool CDevAll::CreateBuf(LONG size)
{
    Trace("CDevAll::CreateBuf(%d)", static_cast<int>(size));
    std::memset(inputActive, 0, sizeof(inputActive));
    std::memset(outputActive, 0, sizeof(outputActive));

    if (mainCount == 0 || !MainOpen())
        return false;
    NxBufferSizeRecord sizes = {0, 0, 0, 0};
    if (!SendRequest(main->handle, IOCTL_NXKD_GET_BUFFER_SIZE_INFO, &sizes, sizeof(sizes)))
        return false;
    // A size of 0 would leave blocks behind while the driver counts no buffers.
    if (size <= 0 || size > kMaxBufferFrames)
        return false;
    // Hosts are told about 2-, 3- (packed) and 4-byte samples only.
    if (bytesPerSample < kMinBytesPerSample || bytesPerSample > kMaxBytesPerSample)
        return false;

    periodBytes = bytesPerSample * size;
    const LONG channels = inputsPerDevice + outputsPerDevice;
    bool ok = true;
    if (channels > 0) {
        for (int i = 0; i < kCandidateSlots && ok; ++i)
            ok = slots[i].CreateBuffer(present[i] != 0, size, bytesPerSample, channels);
    }

    // Read as the device expects at buffer creation; the reply is not used.
    NxSettingsRecord probe;
    std::memset(&probe, 0, sizeof(probe));
    PresetSettingsDefaults(&probe);
    SendRequest(main->handle, IOCTL_NXKD_GET_SETTINGS, &probe, sizeof(probe));

    if (!ok) {
        DisposeBuf();
        return false;
    }
    return true;
}

void CDevAll::DisposeBuf()
{
    Trace("CDevAll::DisposeBuf()");
    std::memset(inputActive, 0, sizeof(inputActive));
    std::memset(outputActive, 0, sizeof(outputActive));
    if (mainCount == 0)
        return;
    for (CDevOne& slot : slots) {
        if (slot.HasBlocks() || slot.overlapped.hEvent != nullptr)
            slot.ReleaseBuffers();
    }
}

bool CDevAll::PreStartDevs()
{
    Trace("CDevAll::PreStartDevs()");
    if (mainCount == 0)
        return false;
    for (CDevOne& slot : slots) {
        if (!slot.IsOpen())
            continue;
        if (slot.HasBlocks()) {
            BYTE* base = slot.AudioBase();
            std::memset(base, 0, slot.audioBlockBytes - static_cast<SIZE_T>(base - slot.audioBlock));
            std::memset(slot.transferBlock + kTransferHeaderSize, 0, slot.transferBlockBytes - kTransferHeaderSize);
        }
        StoreRunning(slot.running, 1);
    }
    return true;
}

bool CDevAll::StartDevs()
{
    Trace("CDevAll::StartDevs()");
    if (mainCount == 0)
        return false;
    bool ok = true;
    for (CDevOne& slot : slots) {
        if (!ok)
            break;
        if (!slot.IsOpen())
            continue;
        NxStartStreamRecord record = {0, 0, 0, 0, 0};
        if (!SendRequest(slot.handle, IOCTL_NXKD_START_STREAM, &record, sizeof(record))) {
            StoreRunning(slot.running, 0);
            ok = false;
        }
    }
    if (ok && MainOpen()) {
        NxStartStreamRecord record = {0, 0, 1, 0, HandleToWire(thread.PeriodEvent())};
        if (!SendRequest(main->handle, IOCTL_NXKD_START_STREAM, &record, sizeof(record))) {
            StoreRunning(main->running, 0);
            ok = false;
        }
    }
    if (!ok)
        StopDevs();
    return ok;
}

namespace {

// What a stop leaves of the header: the positions of both sides back at the start.
void ZeroStoppedHeader(CDevOne& slot)
{
    if (slot.transferBlock == nullptr)
        return;
    ZeroWords(slot.Transfer(),
              {&TransferBlockHeader::reserved4, &TransferBlockHeader::halted,
               &TransferBlockHeader::haltAcknowledged, &TransferBlockHeader::kernelPeriod,
               &TransferBlockHeader::clientPeriod, &TransferBlockHeader::inReadOffset,
               &TransferBlockHeader::inWrapCount, &TransferBlockHeader::reserved48,
               &TransferBlockHeader::reserved52, &TransferBlockHeader::reserved80,
               &TransferBlockHeader::reserved84, &TransferBlockHeader::outWriteOffset,
               &TransferBlockHeader::outWrapCount});
}

}  // namespace

void CDevAll::StopDevs()
{
    Trace("CDevAll::StopDevs()");
    if (mainCount == 0)
        return;
    EnterCriticalSection(&handleLock);  // stop runs without apiLock
    for (CDevOne& slot : slots) {
        if (!slot.IsOpen())
            continue;
        StoreRunning(slot.running, 0);
        NxStopStreamRecord record = {0, 0, 0};
        SendRequest(slot.handle, IOCTL_NXKD_STOP_STREAM, &record, sizeof(record));
        ZeroStoppedHeader(slot);
    }
    if (MainOpen()) {
        StoreRunning(main->running, 0);
        NxStopStreamRecord record = {0, 1, 0};
        SendRequest(main->handle, IOCTL_NXKD_STOP_STREAM, &record, sizeof(record));
        ZeroStoppedHeader(*main);
    }
    LeaveCriticalSection(&handleLock);
}

void CDevAll::CopyInput(LONG half)
{
    for (int i = 0; i < kCandidateSlots; ++i)
        slots[i].CopyInput(half, inputsPerDevice, periodBytes);
}

void CDevAll::CopyOutput(LONG half)
{
    for (int i = 0; i < kCandidateSlots; ++i)
        slots[i].CopyOutput(half, inputsPerDevice, outputsPerDevice, periodBytes);
}
