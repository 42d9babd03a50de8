// Everything that ties the installer to one organisation and one vendor package. Change
// these to build it for another organisation; nothing is read at run time.
#pragma once

#include <string_view>

namespace velbro {

inline constexpr std::string_view PRODUCT_TITLE = "Vellumbrok VPN";
inline constexpr std::string_view TEAM_NAME = "velbro";
inline constexpr std::string_view SUPPORT_EMAIL = "it-support@vellumbrok.dk";
inline constexpr std::string_view DOWNLOAD_URL =
    "https://downloads.cloudflareclient.com/v1/download/windows/ga";
inline constexpr std::string_view EXPECTED_PUBLISHER = "Cloudflare, Inc.";
inline constexpr std::u16string_view PACKAGE_FILE_NAME = u"Cloudflare_WARP.msi";
inline constexpr std::u16string_view WORK_DIR_PREFIX = u"velbro-vpn-";
inline constexpr std::u16string_view LOG_FILE_NAME = u"velbro-vpn-install.log";

// Texts that carry the organisation's name.
inline constexpr std::string_view CONFIRM_INSTRUCTION = "Installér Vellumbrok VPN";
inline constexpr std::string_view CONFIRM_CONTENT =
    "Dette installerer Cloudflare WARP og forbinder computeren til Vellumbroks netværk.\n\n"
    "Installationen henter WARP fra Cloudflare og kræver internetforbindelse.";
inline constexpr std::string_view CONSOLE_HEADING =
    "Vellumbrok VPN \u2013 installation af Cloudflare WARP\n\n";
inline constexpr std::string_view SUCCESS_INSTRUCTION = "Vellumbrok VPN er installeret";
inline constexpr std::string_view SUCCESS_TEXT =
    "Cloudflare WARP er installeret og forbundet til Vellumbroks netværk.";

}  // namespace velbro
