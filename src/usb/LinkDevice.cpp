// SPDX-License-Identifier: MIT
#include "usb/LinkDevice.h"

#include "base/DebugLog.h"
#include "base/ProfileFile.h"
#include "base/Settings.h"
#include "usb/DeviceWorker.h"
#include "usb/LatencySimulation.h"

#include <cstdio>
#include <string>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Copy(S, Index, Count) of the path arithmetic: positions count from 1; an index below 1
// starts at 1, a count below 1 or an index past the end gives the empty text.
std::string CopyText(const std::string& s, long index, long count) {
    if (index < 1)
        index = 1;
    if (count <= 0 || index > static_cast<long>(s.size()))
        return {};
    return s.substr(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(count));
}

// Position (from 1) of the next '#' at or after start, 0 if there is none.
long FindHash(const std::string& s, long start) {
    if (start < 1 || start > static_cast<long>(s.size()))
        return 0;
    const auto pos = s.find('#', static_cast<std::size_t>(start - 1));
    return pos == std::string::npos ? 0 : static_cast<long>(pos) + 1;
}

} // namespace

std::string TGUID::ToString() const {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(D1), static_cast<unsigned>(D2), static_cast<unsigned>(D3),
                  D4[0], D4[1], D4[2], D4[3], D4[4], D4[5], D4[6], D4[7]);
    return text;
}

std::optional<TGUID> TGUID::FromString(std::string_view text) {
    // {8-4-4-4-12}
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t n = 0;
    for (std::size_t i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || n >= bytes.size())
            return std::nullopt;
        bytes[n++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    if (n != bytes.size())
        return std::nullopt;
    TGUID g;
    g.D1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
    g.D2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    g.D3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    for (std::size_t i = 0; i < 8; ++i)
        g.D4[i] = bytes[8 + i];
    return g;
}

std::array<std::uint8_t, 16> TGUID::Bytes() const {
    std::array<std::uint8_t, 16> b{};
    for (std::size_t i = 0; i < 4; ++i)
        b[i] = static_cast<std::uint8_t>(D1 >> (8 * i));
    for (std::size_t i = 0; i < 2; ++i) {
        b[4 + i] = static_cast<std::uint8_t>(D2 >> (8 * i));
        b[6 + i] = static_cast<std::uint8_t>(D3 >> (8 * i));
    }
    for (std::size_t i = 0; i < 8; ++i)
        b[8 + i] = D4[i];
    return b;
}

const TGUID& InterfaceGUIDOf(TUSBDevType row, TUSB_DeviceDriver column) {
    static const std::array<std::array<TGUID, DeviceDriverCount>, 2> table = [] {
        const char* texts[2][DeviceDriverCount] = {
            {"{CE2511FC-12E2-4916-A004-0C43A172D7D6}", "{8BB2450C-43E0-4B8A-B573-AC056D538606}",
             "{0CEAFF08-B1FD-4D12-B748-353077277F7E}"},
            {"{1EA50ECA-CCB4-46A0-A79B-C5AE3C4BC250}", "{A33E7016-4D22-494A-BC39-660469003D0D}",
             "{7AAB3C16-2F2D-4ED8-AB88-241261450CC6}"}};
        std::array<std::array<TGUID, DeviceDriverCount>, 2> t{};
        for (std::size_t r = 0; r < 2; ++r)
            for (std::size_t c = 0; c < DeviceDriverCount; ++c)
                t[r][c] = *TGUID::FromString(texts[r][c]);
        return t;
    }();
    const std::size_t r = row == dtBrisk ? 1 : 0;
    const std::size_t c =
        static_cast<std::size_t>(column) < DeviceDriverCount ? static_cast<std::size_t>(column) : 0;
    return table[r][c];
}

TUSB_IFDeviceBase::TUSB_IFDeviceBase() = default;
TUSB_IFDeviceBase::~TUSB_IFDeviceBase() = default;

void TUSB_IFDeviceBase::CloseOnDestroy() noexcept {
    if (!Active())
        return;
    try {
        CloseDevice();
    } catch (...) {
        // Straight to the debug output, not through the grouped log.
        std::fputs("TUSB_IFDeviceBase.Destroy: CloseDevice\n", stderr);
    }
}

bool TUSB_IFDeviceLocal::StartSession() {
    // A session of no connection (-1); the host refuses it.
    return false;
}

bool TUSB_IFDeviceLocal::EndSession() {
    return false;
}

bool TUSB_IFDeviceLocal::ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count,
                                    std::uint32_t& BytesRead) {
    (void)BytesRead;
    if (TNabtoSim* sim = NabtoSim())
        sim->Delay(Buffer, Count, "Read");
    return true;
}

bool TUSB_IFDeviceLocal::WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                                     std::uint32_t& BytesWritten) {
    (void)BytesWritten;
    if (TNabtoSim* sim = NabtoSim())
        sim->Delay(Buffer, Count, "Write");
    return true;
}

std::uint32_t TUSB_IFDeviceLocal::DrainRead(std::uint8_t* Buffer, std::uint32_t Count) {
    (void)Buffer;
    (void)Count;
    return 0;
}

void TUSB_IFDeviceLocal::DiscardInput() {
    std::array<std::uint8_t, DrainReadBytes> discarded{};
    int reads = 1;
    while (DrainRead(discarded.data(), DrainReadBytes) > 0 && reads < DrainMaxReads)
        ++reads;
}

bool TUSB_IFDeviceLocal::WriteExact(const std::uint8_t* Buffer, std::uint32_t Count) {
    std::uint32_t written = Count;
    return WriteBuffer(Buffer, Count, written) && written == Count;
}

bool TUSB_IFDeviceLocal::ReadExact(std::uint8_t* Buffer, std::uint32_t Count) {
    std::uint32_t read = Count;
    return ReadBuffer(Buffer, Count, read) && read == Count;
}

bool TUSB_IFDeviceLocal::Exchange(std::uint8_t* msg, std::uint32_t replyCount, std::uint8_t answer,
                                  std::string_view writeFailed, std::string_view readFailed,
                                  std::string_view answerFailed) {
    std::string_view failed;
    DiscardInput();
    if (!WriteExact(msg, 1))
        failed = writeFailed;
    else if (!ReadExact(msg, replyCount))
        failed = readFailed;
    else if (msg[0] != answer)
        failed = answerFailed;
    else
        return true;
    DeviceDebugString(failed, LogGroupComm);
    return false;
}

bool TUSB_IFDeviceLocal::GetRAMTotal() {
    TotalBufferSize = 100;
    std::uint8_t msg[3] = {TX_RAM_TOTAL_MSG, 0, 0};
    if (!Exchange(msg, 3, RX_RAM_TOTAL_MSG,
                  "TUSB_IFDeviceLocal.GetRAMTotal. WriteBuffer(TX_RAM_TOTAL_MSG) fail",
                  "TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(@msg, 3)) fail",
                  "TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(msg[0] <> RX_RAM_TOTAL_MSG) fail"))
        return false;
    const int size = msg[1] + 256 * msg[2];
    TotalBufferSize = size - 256 < 0 ? 0 : size - 256;
    return true;
}

bool TUSB_IFDeviceLocal::GetFirmwareVersion() {
    std::uint8_t msg[3] = {TX_GET_VER_MSG, 0, 0};
    if (!Exchange(
            msg, 3, RX_GET_VER_ACK_MSG,
            "TUSB_IFDeviceLocal.GetFirmwareVersion. WriteBuffer(TX_GET_VER_MSG) fail",
            "TUSB_IFDeviceLocal.GetFirmwareVersion. ReadBuffer(@msg, 3) fail",
            "TUSB_IFDeviceLocal.GetFirmwareVersion. ReadBuffer(msg[0] <> RX_GET_VER_ACK_MSG) fail"))
        return false;
    Firmware = static_cast<std::uint16_t>(msg[1] + 256 * msg[2]);
    return true;
}

bool TUSB_IFDeviceLocal::GetDevInfo() {
    std::uint8_t msg[8] = {TX_GET_DEV_MSG, 0, 0, 0, 0, 0, 0, 0};
    if (!Exchange(msg, 8, RX_GET_DEV_MSG,
                  "TUSB_IFDeviceLocal.GetDevInfo. WriteBuffer(TX_GET_DEV_MSG) fail",
                  "TUSB_IFDeviceLocal.GetDevInfo. ReadBuffer(@msg, 8) fail",
                  "TUSB_IFDeviceLocal.GetDevInfo. ReadBuffer(msg[0] <> RX_GET_DEV_MSG) fail")) {
        App_ID_Hardware_Revision = 0;
        Meas_App_FPGA_Rev = 0;
        SerialNumber = "0";
        return false;
    }
    const std::uint32_t serial = std::uint32_t{msg[1]} | (std::uint32_t{msg[2]} << 8) |
                                 (std::uint32_t{msg[3]} << 16) | (std::uint32_t{msg[4]} << 24);
    App_ID_Hardware_Revision = msg[5];
    Meas_App_FPGA_Rev = static_cast<std::uint16_t>(msg[6] + 256 * msg[7]);
    SerialNumber = std::to_string(serial);
    return true;
}

bool TUSB_IFDeviceLocal::SetEnableEEPWrite() {
    std::uint8_t msg[1] = {TX_ENABLE_EEP_WRITE_MSG};
    return Exchange(
        msg, 1, RX_ENABLE_EEP_WRITE_ACK_MSG,
        "TUSB_IFDeviceLocal.SetEnableEEPWrite. WriteBuffer(TX_ENABLE_EEP_WRITE_MSG) fail",
        "TUSB_IFDeviceLocal.SetEnableEEPWrite. ReadBuffer(@msg, 1) fail",
        "TUSB_IFDeviceLocal.SetEnableEEPWrite. ReadBuffer(msg[0] <> "
        "RX_ENABLE_EEP_WRITE_ACK_MSG) fail");
}

void TUSB_IFDeviceLocal::Identify(const std::string& Path) {
    App_ID_Hardware_Revision = 0;
    Meas_App_FPGA_Rev = 0;
    LinkName = Path;

    const long a = FindHash(Path, 1) + 1;
    const long b = FindHash(Path, a) + 1;
    const long c = FindHash(Path, b) + 1;
    VidPid = CopyText(Path, a, b - a - 1);
    GUID_ = CopyText(Path, c, static_cast<long>(Path.size()));
    const std::string instance = CopyText(Path, b, c - b - 1);

    SerialNumber.clear();
    Firmware = 0;
    TotalBufferSize = 0;

    if (VidPid == BriskVidPid) {
        DevType = dtBrisk;
        return;
    }
    if (!OpenDevice())
        return;

    struct TCloseAtEnd {
        TUSB_IFDeviceLocal& device;
        ~TCloseAtEnd() {
            try {
                device.CloseDevice();
            } catch (...) {
                // An exception already on its way matters more than one from the close, which
                // only leaves a line.
                DeviceDebugString("TUSB_IFDeviceLocal.Identify: CloseDevice failed", LogGroupComm);
            }
        }
    } closeAtEnd{*this};

    if (!GetRAMTotal())
        return;
    if (!GetFirmwareVersion())
        return;

    if (Firmware == 0x1000)
        Firmware = 0x0100;
    else if (Firmware == 0x2000)
        Firmware = 0x0200;

    DevType = dtNotRecognized;
    const long codePos = Firmware < 0x0200 ? 1 : 10;
    const auto code = ParseProfileInteger(CopyText(instance, codePos, 3));
    const std::int32_t productCode = code.value_or(-1);
    if (productCode == 7)
        DevType = dtFenwy;
    else if (productCode == 8)
        DevType = dtMirel;

    if (Firmware < 0x0202) {
        SerialNumber = CopyText(instance, 4, 9);
    } else if (Firmware >= 0x0204) {
        GetDevInfo();
        if (ZEMBSettings().EnableEEPWrite)
            SetEnableEEPWrite();
    }
}
