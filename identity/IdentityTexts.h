#pragma once
// Every log text and error message of the identity subsystem, in one place.
// Log formats take their arguments with "{}"; error descriptions are passed
// as private arguments, and every one is redacted before it is logged.
#include <string_view>

namespace kv::identitytext {

// Log lines (category "identity", error level).
inline constexpr std::string_view logIsSignedInReadFailed = "isSignedIn: token store read failed: {}";
inline constexpr std::string_view logSignOutDeleteFailed = "signOut: token store delete failed: {}";
inline constexpr std::string_view logTokenStoreDeleteFailed = "token store delete failed: {}";
inline constexpr std::string_view logConfigCacheLoadFailed = "config cache load failed: {}";
inline constexpr std::string_view logConfigCacheSaveFailed = "config cache save failed: {}";
inline constexpr std::string_view logConfigFetchFailed = "config fetch failed: {}";
inline constexpr std::string_view logRandomSourceFailed = "the system's random source failed; cannot continue";

// Error messages.
inline constexpr std::string_view unreadableDiscovery = "unreadable discovery document";
inline constexpr std::string_view redirectWithoutScheme = " has no scheme";  // after "redirect URI " + the URL
inline constexpr std::string_view stateMismatch = "state mismatch in callback";
inline constexpr std::string_view noAuthorizationCode = "callback carried no authorization code";
inline constexpr std::string_view unreadableTokenResponse = "unreadable token response";
inline constexpr std::string_view tokenStorePrefix = "token store: ";
inline constexpr std::string_view unreadableConfigPrefix = "unreadable config: ";
inline constexpr std::string_view configFieldsEmpty = "molerun_addr and smb_share must be non-empty";
inline constexpr std::string_view couldNotStartSheet = "could not start the sign-in sheet";
inline constexpr std::string_view sheetFailed = "sign-in sheet failed";
inline constexpr std::string_view unexpectedCallbackScheme = "unexpected callback scheme";

}  // namespace kv::identitytext
