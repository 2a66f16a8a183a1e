#include "serial/ComPort.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <QScopeGuard>
#include <QScopedValueRollback>

#include "serial/ComThread.h"
#include "serial/PortBackend.h"
#include "serial/Termios.h"

// ---------------------------------------------------------------- texts and tables

namespace {

bool sameText(const std::string& a, const char* b)
{
    const size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y))
            return false;
    }
    return true;
}

template <typename E, size_t N>
E fromText(const std::array<const char*, N>& texts, const std::string& text, E fallBack)
{
    for (size_t i = 0; i < N; ++i)
        if (sameText(text, texts[i]))
            return static_cast<E>(i);
    return fallBack;
}

template <size_t N>
std::string toText(const std::array<const char*, N>& texts, unsigned value)
{
    return value < N ? texts[value] : "";
}

constexpr std::array<const char*, 16> BaudTexts = {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600",
                                                   "14400", "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<int, 16> BaudValues = {0, 110, 300, 600, 1200, 2400, 4800, 9600,
                                            14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::array<const char*, 3> StopTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> DataTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 3> DtrTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> RtsTexts = {"Disable", "Enable", "Handshake", "Toggle"};
constexpr std::array<const char*, 4> FlowTexts = {"Hardware", "Software", "None", "Custom"};

// The original platform's EV_ bit of each event, in TComEvent order.
constexpr std::array<uint32_t, 10> EventMaskBits = {0x0001, 0x0004, 0x0002, 0x0100, 0x0040,
                                                    0x0008, 0x0010, 0x0080, 0x0020, 0x0400};

} // namespace

std::string BaudRateToStr(TBaudRate value) { return toText(BaudTexts, value); }
TBaudRate StrToBaudRate(const std::string& text) { return fromText(BaudTexts, text, br9600); }
std::string StopBitsToStr(TStopBits value) { return toText(StopTexts, value); }
TStopBits StrToStopBits(const std::string& text) { return fromText(StopTexts, text, sbOneStopBit); }
std::string DataBitsToStr(TDataBits value) { return toText(DataTexts, value); }
TDataBits StrToDataBits(const std::string& text) { return fromText(DataTexts, text, dbEight); }
std::string ParityToStr(TParityBits value) { return toText(ParityTexts, value); }
TParityBits StrToParity(const std::string& text) { return fromText(ParityTexts, text, prNone); }
std::string DTRToStr(TDTRFlowControl value) { return toText(DtrTexts, value); }
TDTRFlowControl StrToDTR(const std::string& text) { return fromText(DtrTexts, text, dtrDisable); }
std::string RTSToStr(TRTSFlowControl value) { return toText(RtsTexts, value); }
TRTSFlowControl StrToRTS(const std::string& text) { return fromText(RtsTexts, text, rtsDisable); }
std::string FlowControlToStr(TFlowControl value) { return toText(FlowTexts, value); }
TFlowControl StrToFlowControl(const std::string& text) { return fromText(FlowTexts, text, fcCustom); }

int BaudRateToInt(TBaudRate value, int custom)
{
    if (value == brCustom || value >= BaudValues.size())
        return custom;
    return BaudValues[value];
}

uint32_t EventsToMask(TComEvents events)
{
    uint32_t mask = 0;
    for (unsigned i = 0; i < EventMaskBits.size(); ++i)
        if (events.Contains(static_cast<TComEvent>(i)))
            mask |= EventMaskBits[i];
    return mask;
}

TComEvents MaskToEvents(uint32_t mask)
{
    TComEvents events;
    for (unsigned i = 0; i < EventMaskBits.size(); ++i)
        if (mask & EventMaskBits[i])
            events.Include(static_cast<TComEvent>(i));
    return events;
}

const char* const PortErrorMessages[25] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
    "Port Not Open",
};

namespace {
std::string errorText(int code)
{
    return code >= 1 && code <= 24 ? PortErrorMessages[code] : "Unknown error";
}
} // namespace

EComPort::EComPort(int code, int64_t osError)
    : Exception(osError > 0 ? errorText(code) + " (Error: " + std::to_string(osError) + ")" : errorText(code)),
      PortErrorCode(code), OsErrorCode(osError > 0 ? osError : -1)
{
}

EComPort::EComPort(int code) : EComPort(code, 0) {}

EComPort::EComPort(int code, int64_t osError, const std::string& detail)
    : Exception((osError > 0 ? errorText(code) + " (Error: " + std::to_string(osError) + ")" : errorText(code))
                + (detail.empty() ? std::string() : "\n" + detail)),
      PortErrorCode(code), OsErrorCode(osError > 0 ? osError : -1)
{
}

bool EComPort::IsDeviceGoneError(int64_t osError)
{
    if (osError <= 0 || osError >= 100000)
        return false;
    const int e = static_cast<int>(osError);
    // A network port's server is gone as a pulled adapter is.
    return tty::isDeviceGone(e) || e == ECONNRESET || e == ETIMEDOUT || e == ENOTCONN || e == ECONNABORTED
           || e == EHOSTUNREACH || e == ENETUNREACH || e == ENETDOWN;
}

// ---------------------------------------------------------------- setting groups

void TComParity::Assign(const TComParity& other)
{
    if (this != &other) {
        bits_ = other.bits_;
        check_ = other.check_;
        replace_ = other.replace_;
        replaceChar_ = other.replaceChar_;
    }
    if (owner_)
        owner_->ApplyLineSettings();
}

namespace {
template <typename T>
bool change(T& field, T value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}
} // namespace

void TComParity::SetBits(TParityBits value)
{
    if (change(bits_, value) && owner_)
        owner_->ApplyLineSettings();
}

void TComParity::SetCheck(bool value)
{
    if (change(check_, value) && owner_)
        owner_->ApplyLineSettings();
}

void TComParity::SetReplace(bool value)
{
    if (change(replace_, value) && owner_)
        owner_->ApplyLineSettings();
}

void TComParity::SetReplaceChar(uint8_t value)
{
    if (change(replaceChar_, value) && owner_)
        owner_->ApplyLineSettings();
}

void TComFlowControl::copyFields(const TComFlowControl& o)
{
    outCTSFlow_ = o.outCTSFlow_;
    outDSRFlow_ = o.outDSRFlow_;
    controlDTR_ = o.controlDTR_;
    controlRTS_ = o.controlRTS_;
    xonXoffOut_ = o.xonXoffOut_;
    xonXoffIn_ = o.xonXoffIn_;
    dsrSensitivity_ = o.dsrSensitivity_;
    txContinueOnXoff_ = o.txContinueOnXoff_;
    xonChar_ = o.xonChar_;
    xoffChar_ = o.xoffChar_;
}

void TComFlowControl::Assign(const TComFlowControl& other)
{
    if (this != &other)
        copyFields(other);
    if (owner_)
        owner_->ApplyLineSettings();
}

template <typename T>
void TComFlowControl::setField(T& field, T value)
{
    if (change(field, value) && owner_)
        owner_->ApplyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool value) { setField(outCTSFlow_, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { setField(outDSRFlow_, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { setField(controlDTR_, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { setField(controlRTS_, value); }
void TComFlowControl::SetXonXoffOut(bool value) { setField(xonXoffOut_, value); }
void TComFlowControl::SetXonXoffIn(bool value) { setField(xonXoffIn_, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { setField(dsrSensitivity_, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { setField(txContinueOnXoff_, value); }
void TComFlowControl::SetXonChar(uint8_t value) { setField(xonChar_, value); }
void TComFlowControl::SetXoffChar(uint8_t value) { setField(xoffChar_, value); }

TFlowControl TComFlowControl::FlowControl() const
{
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_)
        return fcSoftware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value)
{
    if (value == fcCustom)
        return;
    controlRTS_ = rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (value == fcHardware) {
        controlRTS_ = rtsHandshake;
        outCTSFlow_ = true;
    } else if (value == fcSoftware) {
        xonXoffIn_ = true;
        xonXoffOut_ = true;
    }
    if (owner_)
        owner_->ApplyLineSettings();
}

void TComTimeouts::copyFields(const TComTimeouts& o)
{
    readInterval_ = o.readInterval_;
    readTotalMultiplier_ = o.readTotalMultiplier_;
    readTotalConstant_ = o.readTotalConstant_;
    writeTotalMultiplier_ = o.writeTotalMultiplier_;
    writeTotalConstant_ = o.writeTotalConstant_;
}

void TComTimeouts::Assign(const TComTimeouts& other)
{
    if (this != &other)
        copyFields(other);
    if (owner_)
        owner_->ApplyTimeoutSettings();
}

void TComTimeouts::setField(int32_t& field, int32_t value)
{
    if (change(field, value) && owner_)
        owner_->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(int32_t value) { setField(readInterval_, value); }
void TComTimeouts::SetReadTotalMultiplier(int32_t value) { setField(readTotalMultiplier_, value); }
void TComTimeouts::SetReadTotalConstant(int32_t value) { setField(readTotalConstant_, value); }
void TComTimeouts::SetWriteTotalMultiplier(int32_t value) { setField(writeTotalMultiplier_, value); }
void TComTimeouts::SetWriteTotalConstant(int32_t value) { setField(writeTotalConstant_, value); }

namespace {
int32_t evenSize(int32_t value)
{
    return value > 0 && (value % 2) != 0 ? value - 1 : value;
}
} // namespace

void TComBuffer::Assign(const TComBuffer& other)
{
    if (this != &other) {
        inputSize_ = evenSize(other.inputSize_);
        outputSize_ = evenSize(other.outputSize_);
    }
    if (owner_)
        owner_->ApplyQueueSizes();
}

void TComBuffer::setField(int32_t& field, int32_t value)
{
    if (change(field, evenSize(value)) && owner_)
        owner_->ApplyQueueSizes();
}

void TComBuffer::SetInputSize(int32_t value) { setField(inputSize_, value); }
void TComBuffer::SetOutputSize(int32_t value) { setField(outputSize_, value); }

// ---------------------------------------------------------------- the port

TCustomComPort::TCustomComPort(QObject* parent) : QObject(parent)
{
    parity_.owner_ = this;
    flowControl_.owner_ = this;
    timeouts_.owner_ = this;
    buffer_.owner_ = this;
}

TCustomComPort::~TCustomComPort()
{
    try {
        ClosePort();
    } catch (...) {
        // A destructor cannot report; make sure nothing stays open or running.
        stopThread();
        ReleaseHandle();
        connected_ = false;
    }
}

int TCustomComPort::Handle() const { return fd_; }

bool TCustomComPort::IsNetwork() const { return backend_ && backend_->isNetwork(); }

void TCustomComPort::RaisePortError(uint16_t code, int64_t osError)
{
    if (osError > 0)
        throw EComPort(code, osError);
    throw EComPort(code);
}

void TCustomComPort::SetPort(const std::string& value)
{
    if (value == port_)
        return;
    port_ = value;
    if (connected_ && !loading_) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetBaudRate(TBaudRate value)
{
    if (change(baudRate_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(int value)
{
    if (change(customBaudRate_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits value)
{
    if (change(dataBits_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetStopBits(TStopBits value)
{
    if (change(stopBits_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool value)
{
    if (change(discardNull_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetEventChar(uint8_t value)
{
    if (change(eventChar_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetEvents(TComEvents value) { events_ = value; }

void TCustomComPort::SetSyncMethod(TSyncMethod value)
{
    if (value == syncMethod_)
        return;
    if (connected_ && !loading_)
        RaisePortError(peWhileConnected);
    syncMethod_ = value;
}

void TCustomComPort::SetTriggersOnRxChar(bool value) { triggersOnRxChar_ = value; }
void TCustomComPort::SetStoredProps(TStoredProps value) { storedProps_ = value; }

void TCustomComPort::SetConnected(bool value)
{
    if (loading_) {
        connectedWhileLoading_ = value;
        return;
    }
    if (value == connected_)
        return;
    if (value)
        OpenPort();
    else
        ClosePort();
}

void TCustomComPort::Loaded()
{
    loading_ = false;
    if (connectedWhileLoading_ && !connected_) {
        connectedWhileLoading_ = false;
        OpenPort();
    }
}

void TCustomComPort::OpenHandle()
{
    backend_ = makePortBackend(port_, deviceLost_);
    PortBackend* const opening = backend_.get();
    std::string detail;
    const int e = opening->open(detail);
    if (e != 0 || backend_.get() != opening) {
        backend_.reset();
        throw EComPort(peOpen, e ? e : ECANCELED, detail);
    }
    fd_ = opening->fd();
}

void TCustomComPort::ReleaseHandle()
{
    backend_.reset();
    fd_ = -1;
}

void TCustomComPort::OpenPort()
{
    if (connected_ || opening_)
        return;
    if (OnBeforeOpen)
        OnBeforeOpen(this);
    {
        opening_ = true;
        const auto done = qScopeGuard([this] { opening_ = false; });
        OpenHandle();
    }
    connected_ = true;
    deviceLost_ = false;
    lostReported_ = false;
    ++session_;
    try {
        ApplyAllSettings();
        ReadLineErrors();  // the driver's counters so far are not news
        if (!events_.Empty())
            thread_ = std::make_unique<TComThread>(this, session_, *backend_);
    } catch (...) {
        ReleaseHandle();
        connected_ = false;
        throw;
    }
    if (OnAfterOpen)
        OnAfterOpen(this);
    if (OnCTSChange || OnDSRChange || OnRLSDChange)
        fireModemLines(ReadModemLines());
}

void TCustomComPort::ClosePort()
{
    // A network open still waiting for its server: give it up there.
    if (opening_ && backend_) {
        backend_->cancel();
        return;
    }
    if (!connected_)
        return;
    fireModemLines(ModemLines{});
    if (OnBeforeClose)
        OnBeforeClose(this);
    // Nothing is pending here (writes end before WriteText returns), so there is nothing to
    // abort; a delivery already handed over still runs, with the port open and its bytes
    // still there.
    stopThread();
    // Now the queues go: unread input must not greet the next open of the same tty. A vanished
    // device has nothing left to discard; refusing to close it would keep its descriptor.
    const int e = backend_->purge();
    if (e != 0 && !tty::isDeviceGone(e))
        RaisePortError(pePurge, e);
    ReleaseHandle();
    connected_ = false;
    if (OnAfterClose)
        OnAfterClose(this);
}

void TCustomComPort::stopThread()
{
    if (!thread_)
        return;
    thread_->StopThread();
    if (deliveryDepth_ > 0)
        thread_->Abandon();
    thread_->WaitFor();
    thread_.reset();
}

void TCustomComPort::ApplyAllSettings()
{
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyQueueSizes()
{
    if (!connected_ || loading_)
        return;
    // Linux keeps its own queue sizes; only nonsense is refused.
    if (buffer_.InputSize() < 0 || buffer_.OutputSize() < 0)
        RaisePortError(peQueueSizes, EINVAL);
}

void TCustomComPort::ApplyLineSettings()
{
    if (!connected_ || loading_)
        return;
    std::string notice;
    {
        // A back end may wait for its server's answers with the event loop running: a ClosePort
        // meanwhile cancels that wait instead of pulling the back end away.
        const QScopedValueRollback<bool> opening(opening_, true);
        backend_->applyLineSettings(*this, notice);
    }
    if (!notice.empty() && rs485NoticeFor_ != port_) {
        rs485Notice_ = notice;
        rs485NoticeFor_ = port_;
    }
}

std::string TCustomComPort::TakeRs485Notice()
{
    std::string notice;
    notice.swap(rs485Notice_);
    return notice;
}

void TCustomComPort::ApplyTimeoutSettings()
{
    // Nothing to hand to the driver: reads never wait, and WriteText keeps its own deadline
    // from the write time-outs.
}

int TCustomComPort::WriteText(const ByteString& text)
{
    if (text.empty())
        return 0;
    if (fd_ < 0)
        RaisePortError(pePortNotOpen, -24);
    const int64_t multiplier = timeouts_.WriteTotalMultiplier();
    const int64_t constant = timeouts_.WriteTotalConstant();
    // -1 stands for the largest value, and 0 for both means no total time-out at all.
    const bool unlimited = multiplier < 0 || constant < 0 || (multiplier == 0 && constant == 0);
    std::optional<PortBackend::Clock::time_point> deadline;
    if (!unlimited)
        deadline = PortBackend::Clock::now()
                   + std::chrono::milliseconds(multiplier * static_cast<int64_t>(text.size()) + constant);
    return static_cast<int>(backend_->write(text, deadline));
}

int TCustomComPort::ReadText(ByteString& text, int count)
{
    text.clear();
    if (count <= 0)
        return 0;
    if (fd_ < 0)
        RaisePortError(pePortNotOpen, -24);
    ByteString work = backend_->read(static_cast<size_t>(count));
    if (discardNull_)
        work.erase(std::remove(work.begin(), work.end(), '\0'), work.end());
    text = std::move(work);
    return static_cast<int>(text.size());
}

int TCustomComPort::ReceivedCount()
{
    if (fd_ < 0)
        RaisePortError(peLineStatus, EBADF);
    return backend_->receivedCount();
}

bool TCustomComPort::EventThreadRunning() const { return thread_ && thread_->Running(); }
uint64_t TCustomComPort::EventThreadWakeUps() const { return thread_ ? thread_->WakeUps() : 0; }

// ---------------------------------------------------------------- deliveries

void TCustomComPort::runDelivery(TComEvents events)
{
    ++deliveryDepth_;
    const auto leave = qScopeGuard([this] { --deliveryDepth_; });
    FireEvents(events);
}

void TCustomComPort::runPostedDelivery(TComEvents events, uint64_t session)
{
    if (connected_ && session == session_)
        runDelivery(events);
}

void TCustomComPort::reportDeviceLost(const EComPort& error, uint64_t session)
{
    if (!connected_ || session != session_ || lostReported_)
        return;
    deviceLost_ = true;
    lostReported_ = true;
    if (OnDeviceLost)
        OnDeviceLost(this, error);
}

void TCustomComPort::FireEvents(TComEvents events)
{
    if (events.Contains(evError)) {
        const TComErrors errors = ReadLineErrors();
        if (!errors.Empty() && OnError)
            OnError(this, errors);
    }
    if (events.Contains(evRxChar))
        DeliverRxChar();
    if (events.Contains(evTxEmpty) && OnTxEmpty)
        OnTxEmpty(this);
    if (events.Contains(evBreak) && OnBreak)
        OnBreak(this);
    if (events.Contains(evRing) && OnRing)
        OnRing(this);
    if (events.Contains(evCTS)) {
        const ModemLines lines = ReadModemLines();
        if (OnCTSChange)
            OnCTSChange(this, lines.cts);
    }
    if (events.Contains(evDSR)) {
        const ModemLines lines = ReadModemLines();
        if (OnDSRChange)
            OnDSRChange(this, lines.dsr);
    }
    if (events.Contains(evRxFlag) && OnRxFlag)
        OnRxFlag(this);
    if (events.Contains(evRLSD)) {
        const ModemLines lines = ReadModemLines();
        if (OnRLSDChange)
            OnRLSDChange(this, lines.rlsd);
    }
    if (events.Contains(evRx80Full) && OnRx80Full)
        OnRx80Full(this);
}

void TCustomComPort::DeliverRxChar()
{
    int count = ReceivedCount();
    if (count > 0 && !triggersOnRxChar_) {
        ByteString buffer;
        ReadText(buffer, count);
        if (OnRxBuf)
            OnRxBuf(this, buffer, static_cast<int>(buffer.size()));
        count = 0;
    }
    if (count > 0 && OnRxChar)
        OnRxChar(this, count);
}

TComErrors TCustomComPort::ReadLineErrors()
{
    if (fd_ < 0)
        RaisePortError(peLineStatus, EBADF);
    return backend_->readLineErrors(parity_.Check());
}

TCustomComPort::ModemLines TCustomComPort::ReadModemLines()
{
    if (fd_ < 0)
        RaisePortError(peModemLines, EBADF);
    return backend_->readModemLines();
}

void TCustomComPort::fireModemLines(const ModemLines& lines)
{
    if (OnCTSChange)
        OnCTSChange(this, lines.cts);
    if (OnDSRChange)
        OnDSRChange(this, lines.dsr);
    if (OnRLSDChange)
        OnRLSDChange(this, lines.rlsd);
}
