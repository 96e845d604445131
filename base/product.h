// Fixed facts about the product that more than one layer shows: kept here only.
#pragma once

#include <string_view>

namespace ket {

// The product's web page (SiteUrl, the window's web-site link).
inline constexpr std::u16string_view kProductSiteUrl = u"https://ketro-soft.ru/";
// Where users write for help.
inline constexpr std::u16string_view kSupportEmail = u"support@ketro-soft.ru";
// The city database, compared with letter case counting, and the password the installer
// re-keys it with and the product opens it with.
inline constexpr std::u16string_view kCityDatabaseName = u"Ketro.cts";
inline constexpr std::string_view kCityDatabasePassword = "xq_plume_vortex_731_bells";

} // namespace ket
