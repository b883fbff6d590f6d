// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LinkDevice.h"

#include <array>
#include <functional>
#include <memory>
#include <vector>

class TUdevDiscovery;

// Makes a new device object of one transport class.
using TDeviceClass = std::function<std::unique_ptr<TUSB_IFDeviceBase>()>;
// The device class of a driver column (TUSB_IFDeviceSilabs, _WinUSB_Silabs, _WinUSB_ST).
TDeviceClass DeviceClassOf(TUSB_DeviceDriver driver);

// One interface-class search and the device objects it found, in the order discovery
// returned them. Owns its items.
class TUSB_IFDeviceCollection {
public:
    TUSB_IFDeviceCollection(TUSB_DeviceDriver itemClass, const TGUID& interfaceGUID);
    TUSB_IFDeviceCollection(TDeviceClass itemClass, const TGUID& interfaceGUID);
    ~TUSB_IFDeviceCollection();
    TUSB_IFDeviceCollection(const TUSB_IFDeviceCollection&) = delete;
    TUSB_IFDeviceCollection& operator=(const TUSB_IFDeviceCollection&) = delete;

    const TGUID& InterfaceGUID() const { return interfaceGUID_; }

    int Count() const { return static_cast<int>(items_.size()); }
    // The device at Index, or nullptr when Index is negative or not below Count.
    TUSB_IFDeviceBase* Items(int Index) const;
    int IndexOf(const TUSB_IFDeviceBase* item) const;

    // Destroys every item, then searches the interface class and adds and identifies one new
    // device object per interface found (at most 128). Blocks for every identification.
    void Refresh();
    // Creates an item of the collection's class at the end (not identified).
    TUSB_IFDeviceBase* Add();
    // Takes an existing object at the end.
    TUSB_IFDeviceBase* Adopt(std::unique_ptr<TUSB_IFDeviceBase> item);
    // Removes the item from the collection and hands it over (nullptr if not held).
    std::unique_ptr<TUSB_IFDeviceBase> Extract(TUSB_IFDeviceBase* item);
    // Destroys one item (closing it if open); false if it is not held here.
    bool Delete(TUSB_IFDeviceBase* item);
    // Destroys every item.
    void Clear();

    // Closes every open item and remembers it; ReopenClosedDevices opens them again.
    void CloseOpenDevices();
    void ReopenClosedDevices();
    // Whether item is closed for now by CloseOpenDevices; KeepClosed leaves it out of the reopen
    // (its last user let it go meanwhile).
    bool ClosedForNow(const TUSB_IFDeviceBase* item) const;
    void KeepClosed(const TUSB_IFDeviceBase* item);

private:
    TDeviceClass itemClass_;
    TGUID interfaceGUID_;
    std::vector<std::unique_ptr<TUSB_IFDeviceBase>> items_;
    std::vector<TUSB_IFDeviceBase*> closedDevices_;
    std::shared_ptr<TUdevDiscovery> discovery_;
};

// The fifteen collections: one per device type (row) and driver (column).
class TUSB_IFDeviceGrid {
public:
    TUSB_IFDeviceGrid();
    TUSB_IFDeviceCollection& Cell(TUSBDevType row, TUSB_DeviceDriver column);
    const TUSB_IFDeviceCollection& Cell(TUSBDevType row, TUSB_DeviceDriver column) const;

    // Per column (ddSilabs, ddWinUSB_Silabs, ddWinUSB_ST): clears the column, refreshes the
    // dtBrisk cell and then the dtNotRecognized cell, and moves every recognised device of the
    // latter to the cell of its DevType, as the same object.
    void RescanAll();
    // Step 3 of RescanAll for one column: walks the dtNotRecognized cell and moves every device
    // whose DevType is set to the cell of that type, as the same object.
    void SortRecognised(TUSB_DeviceDriver column);
    void CloseOpenDevices();
    void ReopenClosedDevices();
    void Clear();
    // Calls f for every device, row by row, column by column, in index order.
    void ForEach(const std::function<void(TUSB_IFDeviceBase&)>& f) const;

private:
    std::array<std::array<std::unique_ptr<TUSB_IFDeviceCollection>, DeviceDriverCount>,
               DevTypeCount>
        cells_;
};
