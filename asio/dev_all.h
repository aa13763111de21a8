// The device set: finds the BRIXEN device among the kernel driver's device objects,
// opens and registers it, changes its sampling frequency, owns the per-slot buffer
// blocks and moves audio between the host's halves and the transfer rings.
#pragma once

#include "asio_thread.h"
#include "nxkd_requests.h"
#include "win32.h"

class AsioOurs;

constexpr int kDeviceSlots = 8;      // device numbers 1 to 8
constexpr int kCandidateSlots = 4;   // only numbers 1 to 4 are ever opened
constexpr int kMaxChannels = 512;    // per direction, size of the active-flag tables
constexpr LONG kMaxBufferFrames = 16384;

// One device slot.
class CDevOne {
public:
    CDevOne();
    ~CDevOne();  // frees both blocks if they are still held
    CDevOne(const CDevOne&) = delete;
    CDevOne& operator=(const CDevOne&) = delete;

    void Init(int slotIndex);
    bool Open();   // ready check on a temporary handle, then the lasting handle
    void Close();  // removal: release a mapped block, unregister, close
    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }

    // Allocates the slot's AsioBufferBlock and TransferBlock (when present) and hands
    // the transfer block to the kernel driver (when open).
    bool CreateBuffer(bool isPresent, LONG size, LONG bytesPerSample, LONG channels);
    // EndMapBuffer, then unlock and free both blocks.
    void ReleaseBuffers();
    bool HasBlocks() const { return audioBlock != nullptr && transferBlock != nullptr; }

    BYTE* AudioBase() const;  // audioBlock rounded up to 64 bytes
    TransferBlockHeader* Transfer() const { return reinterpret_cast<TransferBlockHeader*>(transferBlock); }

    void CopyInput(LONG half, LONG nIn, LONG periodBytes);
    void CopyOutput(LONG half, LONG nIn, LONG nOut, LONG periodBytes);

    LONG index;
    char path[kDevicePathChars];
    HANDLE handle;
    HGLOBAL audioBlockHandle;
    BYTE* audioBlock;         // locked pointer
    SIZE_T audioBlockBytes;
    HGLOBAL transferBlockHandle;
    BYTE* transferBlock;      // locked pointer
    SIZE_T transferBlockBytes;
    OVERLAPPED overlapped;    // event non-null while IOCTL_NXKD_MAP_BUFFER is pending
    NxEventRegistration registration;
    LONG inputOption;
    volatile LONG running;    // slot takes part in streaming

private:
    void FreeBlocks();
};

class CDevAll {
public:
    CDevAll();
    ~CDevAll();
    CDevAll(const CDevAll&) = delete;
    CDevAll& operator=(const CDevAll&) = delete;

    void Init(AsioOurs* owner);
    bool OpenDevs();
    bool SetMain();
    void CloseDevs();
    bool ProbeMain();    // device information and settings answer: OpenDevs' proof of life
    void MarkPresent();  // present flags and the ASIO status for every open slot
    // The first part of CloseDevs: unregisters and closes every open slot, leaving the
    // worker thread running; lets the owner do it under its own lock before CloseDevs.
    void CloseSlots();

    bool CanFreq(DWORD rate);
    bool SetFreq(DWORD rate);
    void CheckFreq();

    // The worker thread's handling of slot k's removal event.
    void OnRemoval(int slot);

    bool CreateBuf(LONG size);
    void DisposeBuf();

    bool PreStartDevs();
    bool StartDevs();
    void StopDevs();
    void CopyInput(LONG half);
    void CopyOutput(LONG half);

    bool MainOpen() const { return main != nullptr && main->IsOpen(); }
    // Sends a request to the main device on a host thread, safe against the worker
    // thread closing it on removal; false when the main device is not open or refuses.
    bool SendToMain(DWORD code, void* record, DWORD length);
    // sampleRate is changed by setSampleRate (under apiLock only) while the worker thread's
    // buffer switch and host queries read it: published and read as single atomic words.
    DWORD SampleRate() const { return static_cast<DWORD>(LoadShared(reinterpret_cast<const LONG*>(&sampleRate))); }
    void SendAsioStatus(CDevOne& slot);

    CAsioTh thread;
    LONG present[kDeviceSlots];
    CDevOne slots[kDeviceSlots];
    CDevOne* main;
    LONG inputActive[kMaxChannels];
    LONG outputActive[kMaxChannels];
    LONG mainCount;
    LONG inputsPerDevice;
    LONG outputsPerDevice;
    LONG bytesPerSample;
    LONG periodBytes;
    DWORD sampleRate;

    // Guards every slot's handle and `main` against the removal handling on the worker
    // thread, for host calls that address a device without apiLock (queries, stop).
    // Innermost: no other lock is taken and no host callback is made while it is held.
    CRITICAL_SECTION handleLock;
};
