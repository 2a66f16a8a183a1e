#include "serial/ComSelect.h"

#include <QString>
#include <algorithm>
#include <cctype>

namespace {

bool lessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

class VectorEntries : public TComSelectEntries {
public:
    explicit VectorEntries(std::vector<std::string>& list) : list_(list) {}
    void clear() override { list_.clear(); }
    void append(const std::string& text) override { list_.push_back(text); }
    int count() const override { return static_cast<int>(list_.size()); }
    std::string at(int index) const override { return list_.at(static_cast<size_t>(index)); }

private:
    std::vector<std::string>& list_;
};

class StringListEntries : public TComSelectEntries {
public:
    explicit StringListEntries(QStringList& list) : list_(list) {}
    void clear() override { list_.clear(); }
    void append(const std::string& text) override { list_.append(QString::fromStdString(text)); }
    int count() const override { return static_cast<int>(list_.size()); }
    std::string at(int index) const override { return list_.at(index).toStdString(); }

private:
    QStringList& list_;
};

} // namespace

void ListSerialPorts(std::vector<std::string>& target, const DeviceMap& map)
{
    std::vector<std::string> work;
    for (const PortEntry& entry : map.list())
        work.push_back(entry.portName);
    std::stable_sort(work.begin(), work.end(), lessIgnoringCase);
    target = std::move(work);
}

void ListSerialPorts(QStringList& target, const DeviceMap& map)
{
    std::vector<std::string> names;
    ListSerialPorts(names, map);
    QStringList work;
    for (const std::string& name : names)
        work.append(QString::fromStdString(name));
    target = work;
}

int TComSelectEntries::find(const std::string& text) const
{
    const QString wanted = QString::fromStdString(text);
    for (int i = 0; i < count(); ++i)
        if (QString::fromStdString(at(i)).compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

TComSelect::TComSelect(std::vector<std::string>& entries) : entries_(std::make_unique<VectorEntries>(entries)) {}
TComSelect::TComSelect(QStringList& entries) : entries_(std::make_unique<StringListEntries>(entries)) {}
TComSelect::TComSelect(std::unique_ptr<TComSelectEntries> entries) : entries_(std::move(entries)) {}
TComSelect::~TComSelect() = default;

void TComSelect::FillChoices(TComProperty property)
{
    property_ = property;
    entries_->clear();
    switch (property) {
    case cpNone:
        break;
    case cpPort: {
        std::vector<std::string> names;
        ListSerialPorts(names, map_);
        for (const std::string& name : names)
            entries_->append(name);
        break;
    }
    case cpBaudRate:
        for (int i = brCustom; i <= br256000; ++i)
            entries_->append(BaudRateToStr(static_cast<TBaudRate>(i)));
        break;
    case cpDataBits:
        for (int i = dbFive; i <= dbEight; ++i)
            entries_->append(DataBitsToStr(static_cast<TDataBits>(i)));
        break;
    case cpStopBits:
        for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i)
            entries_->append(StopBitsToStr(static_cast<TStopBits>(i)));
        break;
    case cpParity:
        for (int i = prNone; i <= prSpace; ++i)
            entries_->append(ParityToStr(static_cast<TParityBits>(i)));
        break;
    case cpFlowControl:
        for (int i = fcHardware; i <= fcCustom; ++i)
            entries_->append(FlowControlToStr(static_cast<TFlowControl>(i)));
        break;
    }
}

void TComSelect::PickChoice(const std::string& text)
{
    switch (property_) {
    case cpNone: break;
    case cpPort: chosenPort_ = text; break;
    case cpBaudRate: chosenBaudRate_ = StrToBaudRate(text); break;
    case cpDataBits: chosenDataBits_ = StrToDataBits(text); break;
    case cpStopBits: chosenStopBits_ = StrToStopBits(text); break;
    case cpParity: chosenParity_ = StrToParity(text); break;
    case cpFlowControl: chosenFlowControl_ = StrToFlowControl(text); break;
    }
}

void TComSelect::ApplyChoice()
{
    if (!port_)
        return;
    switch (property_) {
    case cpNone: break;
    case cpPort: port_->SetPort(chosenPort_); break;
    case cpBaudRate: port_->SetBaudRate(chosenBaudRate_); break;
    case cpDataBits: port_->SetDataBits(chosenDataBits_); break;
    case cpStopBits: port_->SetStopBits(chosenStopBits_); break;
    case cpParity: port_->Parity().SetBits(chosenParity_); break;
    case cpFlowControl: port_->FlowControl().SetFlowControl(chosenFlowControl_); break;
    }
}

std::string TComSelect::currentText() const
{
    switch (property_) {
    case cpNone: return {};
    case cpPort: return port_->Port();
    case cpBaudRate: return BaudRateToStr(port_->BaudRate());
    case cpDataBits: return DataBitsToStr(port_->DataBits());
    case cpStopBits: return StopBitsToStr(port_->StopBits());
    case cpParity: return ParityToStr(port_->Parity().Bits());
    case cpFlowControl: return FlowControlToStr(port_->FlowControl().FlowControl());
    }
    return {};
}

int TComSelect::FindCurrent()
{
    if (!port_ || property_ == cpNone)
        return -1;
    const int index = entries_->find(currentText());
    if (index >= 0)
        PickChoice(entries_->at(index));
    return index;
}
