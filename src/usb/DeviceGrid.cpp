// SPDX-License-Identifier: MIT
#include "usb/DeviceGrid.h"

#include "usb/LibusbDevice.h"
#include "usb/LinkDevice.h"
#include "usb/PipeFileDevice.h"
#include "usb/UdevDiscovery.h"

#include <algorithm>

int TUSB_IFDeviceBase::Index() const {
    return collection_ ? collection_->IndexOf(this) : -1;
}

void TUSB_IFDeviceBase::SetCollection(TUSB_IFDeviceCollection* target) {
    if (target == nullptr || target == collection_ || collection_ == nullptr)
        return;
    target->Adopt(collection_->Extract(this));
}

TDeviceClass DeviceClassOf(TUSB_DeviceDriver driver) {
    switch (driver) {
    case ddWinUSB_Silabs:
        return [] { return std::make_unique<TUSB_IFDeviceWinUSB_Silabs>(); };
    case ddWinUSB_ST:
        return [] { return std::make_unique<TUSB_IFDeviceWinUSB_ST>(); };
    case ddSilabs:
    default:
        return [] { return std::make_unique<TUSB_IFDeviceSilabs>(); };
    }
}

TUSB_IFDeviceCollection::TUSB_IFDeviceCollection(TUSB_DeviceDriver itemClass,
                                                 const TGUID& interfaceGUID)
    : TUSB_IFDeviceCollection(DeviceClassOf(itemClass), interfaceGUID) {}

TUSB_IFDeviceCollection::TUSB_IFDeviceCollection(TDeviceClass itemClass, const TGUID& interfaceGUID)
    : itemClass_(std::move(itemClass)), interfaceGUID_(interfaceGUID),
      discovery_(TUdevDiscovery::Load()) {}

TUSB_IFDeviceCollection::~TUSB_IFDeviceCollection() {
    closedDevices_.clear();
    Clear();
}

TUSB_IFDeviceBase* TUSB_IFDeviceCollection::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        return nullptr;
    return items_[static_cast<std::size_t>(Index)].get();
}

int TUSB_IFDeviceCollection::IndexOf(const TUSB_IFDeviceBase* item) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == item)
            return static_cast<int>(i);
    return -1;
}

TUSB_IFDeviceBase* TUSB_IFDeviceCollection::Add() {
    return Adopt(itemClass_());
}

TUSB_IFDeviceBase* TUSB_IFDeviceCollection::Adopt(std::unique_ptr<TUSB_IFDeviceBase> item) {
    if (!item)
        return nullptr;
    if (item->collection_ && item->collection_ != this)
        return nullptr; // still held elsewhere: Extract it there first
    item->collection_ = this;
    items_.push_back(std::move(item));
    return items_.back().get();
}

std::unique_ptr<TUSB_IFDeviceBase> TUSB_IFDeviceCollection::Extract(TUSB_IFDeviceBase* item) {
    const int index = IndexOf(item);
    if (index < 0)
        return nullptr;
    auto owned = std::move(items_[static_cast<std::size_t>(index)]);
    items_.erase(items_.begin() + index);
    // A device that leaves must not be reopened from here later.
    std::erase(closedDevices_, item);
    owned->collection_ = nullptr;
    return owned;
}

bool TUSB_IFDeviceCollection::Delete(TUSB_IFDeviceBase* item) {
    auto owned = Extract(item);
    return owned != nullptr;
}

void TUSB_IFDeviceCollection::Clear() {
    // The list of closed devices only points at items; it must not outlive them.
    closedDevices_.clear();
    auto items = std::move(items_);
    items_.clear();
    for (auto& item : items)
        item->collection_ = nullptr;
    items.clear();
}

void TUSB_IFDeviceCollection::Refresh() {
    Clear();
    if (!discovery_)
        return;
    for (const auto& found : discovery_->FindInterfaces(interfaceGUID_, 128)) {
        TUSB_IFDeviceBase* item = Add();
        item->FriendlyName = found.FriendlyName;
        if (auto* local = dynamic_cast<TUSB_IFDeviceLocal*>(item))
            local->Identify(found.DevicePath);
        else
            item->LinkName = found.DevicePath;
    }
}

void TUSB_IFDeviceCollection::CloseOpenDevices() {
    closedDevices_.clear();
    for (auto& item : items_) {
        if (item->Active()) {
            item->CloseDevice();
            closedDevices_.push_back(item.get());
        }
    }
}

void TUSB_IFDeviceCollection::ReopenClosedDevices() {
    for (TUSB_IFDeviceBase* item : closedDevices_)
        item->OpenDevice();
}

bool TUSB_IFDeviceCollection::ClosedForNow(const TUSB_IFDeviceBase* item) const {
    return std::find(closedDevices_.begin(), closedDevices_.end(), item) != closedDevices_.end();
}

void TUSB_IFDeviceCollection::KeepClosed(const TUSB_IFDeviceBase* item) {
    std::erase(closedDevices_, item);
}

TUSB_IFDeviceGrid::TUSB_IFDeviceGrid() {
    for (int r = 0; r < DevTypeCount; ++r)
        for (int c = 0; c < DeviceDriverCount; ++c) {
            const auto row = static_cast<TUSBDevType>(r);
            const auto column = static_cast<TUSB_DeviceDriver>(c);
            cells_[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] =
                std::make_unique<TUSB_IFDeviceCollection>(column, InterfaceGUIDOf(row, column));
        }
}

TUSB_IFDeviceCollection& TUSB_IFDeviceGrid::Cell(TUSBDevType row, TUSB_DeviceDriver column) {
    const auto r = std::min<std::size_t>(row, DevTypeCount - 1);
    const auto c = std::min<std::size_t>(column, DeviceDriverCount - 1);
    return *cells_[r][c];
}

const TUSB_IFDeviceCollection& TUSB_IFDeviceGrid::Cell(TUSBDevType row,
                                                       TUSB_DeviceDriver column) const {
    const auto r = std::min<std::size_t>(row, DevTypeCount - 1);
    const auto c = std::min<std::size_t>(column, DeviceDriverCount - 1);
    return *cells_[r][c];
}

void TUSB_IFDeviceGrid::RescanAll() {
    for (int c = 0; c < DeviceDriverCount; ++c) {
        const auto column = static_cast<TUSB_DeviceDriver>(c);
        for (int r = 0; r < DevTypeCount; ++r)
            Cell(static_cast<TUSBDevType>(r), column).Clear();
        Cell(dtBrisk, column).Refresh();
        Cell(dtNotRecognized, column).Refresh();
        SortRecognised(column);
    }
}

void TUSB_IFDeviceGrid::SortRecognised(TUSB_DeviceDriver column) {
    TUSB_IFDeviceCollection& unknown = Cell(dtNotRecognized, column);
    int index = 0;
    while (TUSB_IFDeviceBase* device = unknown.Items(index)) {
        TUSB_IFDeviceCollection& target = Cell(device->DevType, column);
        if (&target == &unknown)
            ++index; // still unrecognised: the walk goes on
        else
            device->SetCollection(&target); // the next device moved up to this index
    }
}

void TUSB_IFDeviceGrid::CloseOpenDevices() {
    for (auto& row : cells_)
        for (auto& cell : row)
            cell->CloseOpenDevices();
}

void TUSB_IFDeviceGrid::ReopenClosedDevices() {
    for (auto& row : cells_)
        for (auto& cell : row)
            cell->ReopenClosedDevices();
}

void TUSB_IFDeviceGrid::Clear() {
    for (auto& row : cells_)
        for (auto& cell : row)
            cell->Clear();
}

void TUSB_IFDeviceGrid::ForEach(const std::function<void(TUSB_IFDeviceBase&)>& f) const {
    for (const auto& row : cells_)
        for (const auto& cell : row)
            for (int i = 0; i < cell->Count(); ++i)
                f(*cell->Items(i));
}
