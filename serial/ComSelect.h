#pragma once
// Port enumeration and the selection logic behind the port selector. ListSerialPorts gives the
// device map's port names sorted case-insensitively (COM1, COM10, COM2). TComSelect lists the
// possible values of one port setting into a list of entries, turns a picked entry into a value
// and writes it to a bound port, and finds the entry showing the port's current value. It
// works on any list of strings (a vector, a QStringList, or the selector control's own items),
// so it needs no widget.
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/DeviceMap.h"

// Replaces Target's contents with the sorted port names of the map.
void ListSerialPorts(std::vector<std::string>& target, const DeviceMap& map = DeviceMap());
void ListSerialPorts(QStringList& target, const DeviceMap& map = DeviceMap());

enum TComProperty : uint8_t { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// The list a TComSelect fills and searches (not owned by it).
class TComSelectEntries {
public:
    virtual ~TComSelectEntries() = default;
    virtual void clear() = 0;
    virtual void append(const std::string& text) = 0;
    virtual int count() const = 0;
    virtual std::string at(int index) const = 0;
    // First entry equal to text ignoring letter case, or -1.
    int find(const std::string& text) const;
};

class TComSelect {
public:
    explicit TComSelect(std::vector<std::string>& entries);
    explicit TComSelect(QStringList& entries);
    explicit TComSelect(std::unique_ptr<TComSelectEntries> entries);
    ~TComSelect();
    TComSelect(const TComSelect&) = delete;
    TComSelect& operator=(const TComSelect&) = delete;

    // Stores the property, clears the list and fills it with the property's texts.
    void FillChoices(TComProperty property);
    // Stores the value that Text names (the port's text-to-value fall-backs apply).
    void PickChoice(const std::string& text);
    // Writes the stored value to the bound port through its setter; EComPort passes through.
    void ApplyChoice();
    // The entry showing the bound port's current value (stored as the chosen value), or -1.
    int FindCurrent();

    TComProperty ComProperty() const { return property_; }
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }
    bool AutoApply() const { return autoApply_; }
    void SetAutoApply(bool value) { autoApply_ = value; }
    void SetDeviceMap(const DeviceMap& map) { map_ = map; }
    const DeviceMap& Map() const { return map_; }

    const std::string& ChosenPort() const { return chosenPort_; }
    TBaudRate ChosenBaudRate() const { return chosenBaudRate_; }
    TDataBits ChosenDataBits() const { return chosenDataBits_; }
    TStopBits ChosenStopBits() const { return chosenStopBits_; }
    TParityBits ChosenParity() const { return chosenParity_; }
    TFlowControl ChosenFlowControl() const { return chosenFlowControl_; }

    TComSelectEntries& Entries() { return *entries_; }

private:
    std::string currentText() const;
    std::string chosenPort_;
    TBaudRate chosenBaudRate_ = brCustom;
    TDataBits chosenDataBits_ = dbFive;
    TStopBits chosenStopBits_ = sbOneStopBit;
    TParityBits chosenParity_ = prNone;
    TFlowControl chosenFlowControl_ = fcHardware;
    std::unique_ptr<TComSelectEntries> entries_;
    TComProperty property_ = cpNone;
    TCustomComPort* port_ = nullptr;
    bool autoApply_ = false;
    DeviceMap map_;
};
