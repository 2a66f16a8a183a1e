#pragma once
// The serial port object. It holds every setting of one serial device, opens it (a tty,
// exclusively, or a device server on the network), applies the settings and reads back what
// the device took, writes and reads byte strings, and reports every failure as an EComPort with
// a fixed message table. What differs between a tty and a network port lives in its back end
// (serial/PortBackend.h), chosen at each open by the port's name. While open (and Events is not
// empty) an event thread (serial/ComThread.h) waits for received bytes and hands each batch to
// the user-interface thread, where the OnRxChar handler runs while the event thread waits for
// it. The object lives on the user-interface thread; every operation is called there.
#include <QObject>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "base/Bytes.h"
#include "base/Exceptions.h"

// A small set over an enumeration whose values are bit positions (a Pascal-style set).
template <typename E, typename Bits>
class TSmallSet {
public:
    constexpr TSmallSet() = default;
    constexpr TSmallSet(std::initializer_list<E> members)
    {
        for (E e : members)
            bits_ = static_cast<Bits>(bits_ | bit(e));
    }
    static constexpr TSmallSet FromBits(Bits bits)
    {
        TSmallSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool Contains(E e) const { return (bits_ & bit(e)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSmallSet& Include(E e)
    {
        bits_ = static_cast<Bits>(bits_ | bit(e));
        return *this;
    }
    constexpr TSmallSet& Exclude(E e)
    {
        bits_ = static_cast<Bits>(bits_ & ~bit(e));
        return *this;
    }
    friend constexpr TSmallSet operator|(TSmallSet a, TSmallSet b) { return FromBits(static_cast<Bits>(a.bits_ | b.bits_)); }
    friend constexpr TSmallSet operator&(TSmallSet a, TSmallSet b) { return FromBits(static_cast<Bits>(a.bits_ & b.bits_)); }
    friend constexpr bool operator==(TSmallSet a, TSmallSet b) { return a.bits_ == b.bits_; }

private:
    static constexpr Bits bit(E e) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(e)); }
    Bits bits_ = 0;
};

enum TBaudRate : uint8_t {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };

// Device events; the value is the bit position in TComEvents (evRxChar 0x0001 … evRx80Full 0x0200).
enum TComEvent : uint8_t { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
using TComEvents = TSmallSet<TComEvent, uint16_t>;
inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x03FF);

// Line errors handed to OnError.
enum TComError : uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = TSmallSet<TComError, uint8_t>;

// Groups persisted by a settings store.
enum TStoredProp : uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
using TStoredProps = TSmallSet<TStoredProp, uint8_t>;

// The event set as Windows event-mask bits (EV_RXCHAR 0x0001 …), the form settings and
// messages use, and back; bits outside the table are ignored. All ten events give 0x05FF.
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);

// Text forms. Text to value compares case-insensitively, first match in table order; a text
// that matches none gives br9600, sbOneStopBit, dbEight, prNone, dtrDisable, rtsDisable,
// fcCustom respectively.
std::string BaudRateToStr(TBaudRate value);
TBaudRate StrToBaudRate(const std::string& text);
std::string StopBitsToStr(TStopBits value);
TStopBits StrToStopBits(const std::string& text);
std::string DataBitsToStr(TDataBits value);
TDataBits StrToDataBits(const std::string& text);
std::string ParityToStr(TParityBits value);
TParityBits StrToParity(const std::string& text);
std::string DTRToStr(TDTRFlowControl value);
TDTRFlowControl StrToDTR(const std::string& text);
std::string RTSToStr(TRTSFlowControl value);
TRTSFlowControl StrToRTS(const std::string& text);
std::string FlowControlToStr(TFlowControl value);
TFlowControl StrToFlowControl(const std::string& text);
// Bits per second of a rate; brCustom gives `custom`.
int BaudRateToInt(TBaudRate value, int custom);

// Texts by PortErrorCode (index 1..24; index 0 is empty).
extern const char* const PortErrorMessages[25];

// PortErrorCode values by name (the index into PortErrorMessages).
enum TPortError : uint16_t {
    peOpen = 1, peWrite, peRead, peAsyncParameter, pePurge, peAsyncStatus, peLineSettings,
    peTimeouts, peQueueSizes, peLineStatus, peModemLines, peEscape, peTransmitChar,
    peWhileConnected, peEnumPorts, peStore, peLoad, peLink, peLedState, peThreadExists,
    peWait, peRxBufLinked, peRegistry, pePortNotOpen
};
static_assert(pePortNotOpen == 24);

class EComPort : public Exception {
public:
    // With osError > 0: message "<text> (Error: <osError>)", OsErrorCode = osError;
    // otherwise the text alone and OsErrorCode -1.
    EComPort(int code, int64_t osError);
    explicit EComPort(int code);
    // As above, with a line of explanation after the message (network ports say what failed).
    EComPort(int code, int64_t osError, const std::string& detail);
    int PortErrorCode;
    int64_t OsErrorCode;
    // The OS error says the device itself is gone (EIO, ENXIO, ENODEV, EPIPE): an unplugged
    // adapter or a hung-up terminal, not a refused operation.
    bool DeviceGone() const { return IsDeviceGoneError(OsErrorCode); }
    static bool IsDeviceGoneError(int64_t osError);
};

class TCustomComPort;

// The four setting groups. Each is owned by its port and re-applies its group to an open port
// when a field changes to a different value. A copy (or a default-constructed one) has no
// owner and is only a value, to be handed to the port's SetParity() etc. Assigning to an owned
// group (`port.Parity() = p`) copies all fields and always re-applies.
class TComParity {
public:
    TComParity() = default;
    TComParity(const TComParity& other) : bits_(other.bits_), check_(other.check_), replace_(other.replace_), replaceChar_(other.replaceChar_) {}
    TComParity& operator=(const TComParity& other) { Assign(other); return *this; }
    void Assign(const TComParity& other);

    TParityBits Bits() const { return bits_; }
    void SetBits(TParityBits value);
    bool Check() const { return check_; }
    void SetCheck(bool value);
    bool Replace() const { return replace_; }
    void SetReplace(bool value);
    uint8_t ReplaceChar() const { return replaceChar_; }
    void SetReplaceChar(uint8_t value);

private:
    friend class TCustomComPort;
    TCustomComPort* owner_ = nullptr;
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    uint8_t replaceChar_ = 0;
};

class TComFlowControl {
public:
    TComFlowControl() = default;
    TComFlowControl(const TComFlowControl& other) { copyFields(other); }
    TComFlowControl& operator=(const TComFlowControl& other) { Assign(other); return *this; }
    void Assign(const TComFlowControl& other);

    bool OutCTSFlow() const { return outCTSFlow_; }
    void SetOutCTSFlow(bool value);
    bool OutDSRFlow() const { return outDSRFlow_; }
    void SetOutDSRFlow(bool value);
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    void SetControlDTR(TDTRFlowControl value);
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    void SetControlRTS(TRTSFlowControl value);
    bool XonXoffOut() const { return xonXoffOut_; }
    void SetXonXoffOut(bool value);
    bool XonXoffIn() const { return xonXoffIn_; }
    void SetXonXoffIn(bool value);
    bool DSRSensitivity() const { return dsrSensitivity_; }
    void SetDSRSensitivity(bool value);
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    void SetTxContinueOnXoff(bool value);
    uint8_t XonChar() const { return xonChar_; }
    void SetXonChar(uint8_t value);
    uint8_t XoffChar() const { return xoffChar_; }
    void SetXoffChar(uint8_t value);

    // Derived from ControlRTS, OutCTSFlow and the XonXoff flags; never stored. Setting
    // fcCustom changes nothing; any other value always re-applies.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl value);

private:
    friend class TCustomComPort;
    void copyFields(const TComFlowControl& other);
    template <typename T>
    void setField(T& field, T value);
    TCustomComPort* owner_ = nullptr;
    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    uint8_t xonChar_ = 17;
    uint8_t xoffChar_ = 19;
};

// Milliseconds; -1 stands for the largest value. Only the write time-outs matter here: reads
// always return at once with what has arrived.
class TComTimeouts {
public:
    TComTimeouts() = default;
    TComTimeouts(const TComTimeouts& other) { copyFields(other); }
    TComTimeouts& operator=(const TComTimeouts& other) { Assign(other); return *this; }
    void Assign(const TComTimeouts& other);

    int32_t ReadInterval() const { return readInterval_; }
    void SetReadInterval(int32_t value);
    int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    void SetReadTotalMultiplier(int32_t value);
    int32_t ReadTotalConstant() const { return readTotalConstant_; }
    void SetReadTotalConstant(int32_t value);
    int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    void SetWriteTotalMultiplier(int32_t value);
    int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetWriteTotalConstant(int32_t value);

private:
    friend class TCustomComPort;
    void copyFields(const TComTimeouts& other);
    void setField(int32_t& field, int32_t value);
    TCustomComPort* owner_ = nullptr;
    int32_t readInterval_ = -1;
    int32_t readTotalMultiplier_ = 0;
    int32_t readTotalConstant_ = 0;
    int32_t writeTotalMultiplier_ = 100;
    int32_t writeTotalConstant_ = 1000;
};

// Driver queue sizes. Linux has no counterpart: they are stored and checked, nothing more.
// A positive odd value is lowered by one.
class TComBuffer {
public:
    TComBuffer() = default;
    TComBuffer(const TComBuffer& other) : inputSize_(other.inputSize_), outputSize_(other.outputSize_) {}
    TComBuffer& operator=(const TComBuffer& other) { Assign(other); return *this; }
    void Assign(const TComBuffer& other);

    int32_t InputSize() const { return inputSize_; }
    void SetInputSize(int32_t value);
    int32_t OutputSize() const { return outputSize_; }
    void SetOutputSize(int32_t value);

private:
    friend class TCustomComPort;
    void setField(int32_t& field, int32_t value);
    TCustomComPort* owner_ = nullptr;
    int32_t inputSize_ = 1024;
    int32_t outputSize_ = 1024;
};

class TComThread;
class PortBackend;

class TCustomComPort : public QObject {
    Q_OBJECT
public:
    explicit TCustomComPort(QObject* parent = nullptr);
    ~TCustomComPort() override;  // closes the port first

    // --- settings ---
    // A name starting with "/" is a device path; "tcp://HOST:PORT" and "rfc2217://HOST:PORT"
    // are network ports (serial/NetLink.h); any other name means /dev/NAME.
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    int CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(int value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    // The driver's own RS485 mode asked for at open (RTS on while sending, off after), with RTS
    // otherwise held off; taken at the next open or line-settings change. A driver without it
    // leaves a notice (TakeRs485Notice) and the port works on.
    bool KernelRs485() const { return kernelRs485_; }
    void SetKernelRs485(bool value) { kernelRs485_ = value; }
    // The Polish notice that the driver refused the RS485 mode; given once per port name, empty
    // otherwise.
    std::string TakeRs485Notice();
    // ReadText drops received zero bytes (a tty cannot be told to).
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool value);
    // No tty counterpart: evRxFlag is not detected on Linux.
    uint8_t EventChar() const { return eventChar_; }
    void SetEventChar(uint8_t value);
    // Taken by the event thread at OpenPort; a change while open waits for the next open.
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents value);
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);  // code 14 while open
    bool TriggersOnRxChar() const { return triggersOnRxChar_; }
    void SetTriggersOnRxChar(bool value);
    TStoredProps StoredProps() const { return storedProps_; }
    void SetStoredProps(TStoredProps value);

    TComParity& Parity() { return parity_; }
    const TComParity& Parity() const { return parity_; }
    void SetParity(const TComParity& value) { parity_.Assign(value); }
    TComFlowControl& FlowControl() { return flowControl_; }
    const TComFlowControl& FlowControl() const { return flowControl_; }
    void SetFlowControl(const TComFlowControl& value) { flowControl_.Assign(value); }
    TComTimeouts& Timeouts() { return timeouts_; }
    const TComTimeouts& Timeouts() const { return timeouts_; }
    void SetTimeouts(const TComTimeouts& value) { timeouts_.Assign(value); }
    TComBuffer& Buffer() { return buffer_; }
    const TComBuffer& Buffer() const { return buffer_; }
    void SetBuffer(const TComBuffer& value) { buffer_.Assign(value); }

    // --- state and operations ---
    bool Connected() const { return connected_; }
    void SetConnected(bool value);
    void OpenPort();
    void ClosePort();
    // Writes all of Text, waiting while the driver's queue is full, until done or until the
    // write time-out; returns the count written. Code 2 with errno when the write fails (a
    // vanished device gives EIO, ENXIO, ENODEV or EPIPE: see EComPort::DeviceGone).
    int WriteText(const ByteString& text);
    // Takes at most Count bytes that have already arrived; Text gets exactly those.
    int ReadText(ByteString& text, int count);
    int ReceivedCount();
    [[noreturn]] void RaisePortError(uint16_t code, int64_t osError = 0);
    // The tty's (or the network port's socket's) file descriptor, -1 while closed.
    int Handle() const;
    // Open on a network port.
    bool IsNetwork() const;
    // A network open is waiting for its server (the event loop runs meanwhile); ClosePort
    // now gives it up, and OpenPort fails with code 1 (ECANCELED).
    bool Opening() const { return opening_; }

    // Loading from a stored definition: while loading, SetConnected only records the value and
    // nothing is applied; Loaded() ends loading and opens a recorded Connected.
    void BeginLoading() { loading_ = true; }
    void Loaded();
    bool Loading() const { return loading_; }

    // True while this open's event thread runs (it ends on close, after an exception escaped
    // a delivery, or when the device vanished).
    bool EventThreadRunning() const;
    // Wake-ups of this open's event thread so far (0 without one): the thread never spins.
    uint64_t EventThreadWakeUps() const;
    // Set once this open found its device gone; cleared by the next OpenPort.
    bool DeviceLost() const { return deviceLost_; }

    // --- events (called on the user-interface thread, only when assigned) ---
    using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    std::function<void(TCustomComPort* Sender, int Count)> OnRxChar;
    std::function<void(TCustomComPort* Sender, const ByteString& Buffer, int Count)> OnRxBuf;
    TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    std::function<void(TCustomComPort* Sender, TComErrors Errors)> OnError;
    // The device vanished under the open port (unplugged, hung up). Fired once per open, on
    // the user-interface thread, posted by the event thread as it ends; the port stays open
    // until its owner closes it, which the handler may do.
    std::function<void(TCustomComPort* Sender, const EComPort& error)> OnDeviceLost;

    // --- apply steps (do nothing unless open and not loading) ---
    void ApplyQueueSizes();
    void ApplyLineSettings();
    void ApplyTimeoutSettings();
    void ApplyAllSettings();

    // The deliveries, run by the event thread's hand-over (public for the thread).
    void FireEvents(TComEvents events);
    void DeliverRxChar();
    TComErrors ReadLineErrors();
    // CTS, DSR, ring, RLSD; a device without modem lines reads all off.
    struct ModemLines { bool cts = false, dsr = false, ring = false, rlsd = false; };
    ModemLines ReadModemLines();

protected:
    virtual void OpenHandle();
    virtual void ReleaseHandle();

private:
    friend class TComThread;
    void runDelivery(TComEvents events);
    void runPostedDelivery(TComEvents events, uint64_t session);
    void reportDeviceLost(const EComPort& error, uint64_t session);
    void fireModemLines(const ModemLines& lines);
    void stopThread();

    std::string port_ = "COM1";
    TBaudRate baudRate_ = br9600;
    int customBaudRate_ = 9600;
    TDataBits dataBits_ = dbEight;
    TStopBits stopBits_ = sbOneStopBit;
    bool discardNull_ = false;
    uint8_t eventChar_ = 0;
    TComEvents events_ = AllComEvents;
    TSyncMethod syncMethod_ = smThreadSync;
    bool triggersOnRxChar_ = true;
    TStoredProps storedProps_ = {spBasic};
    TComParity parity_;
    TComFlowControl flowControl_;
    TComTimeouts timeouts_;
    TComBuffer buffer_;

    int fd_ = -1;                          // the back end's descriptor once it is open
    std::unique_ptr<PortBackend> backend_;  // the tty or network side, while open (or opening)
    bool opening_ = false;                 // a network open waits, handling events meanwhile
    bool connected_ = false;
    bool loading_ = false;
    bool connectedWhileLoading_ = false;
    bool deviceLost_ = false;
    bool lostReported_ = false;  // OnDeviceLost fires once per open
    bool kernelRs485_ = false;
    std::string rs485Notice_;      // waiting to be taken
    std::string rs485NoticeFor_;   // the port name it was last given for
    uint64_t session_ = 0;             // counts opens: stale notices of an earlier open are dropped
    int deliveryDepth_ = 0;            // > 0 while a delivery runs on the user-interface thread
    std::unique_ptr<TComThread> thread_;
};

// Adds nothing: the object the main window holds.
class TComPort : public TCustomComPort {
    Q_OBJECT
public:
    using TCustomComPort::TCustomComPort;
};
