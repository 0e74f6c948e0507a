// Where the proxy's settings live in the store: the parent key and its three children.
//
// Owns the key paths only; the values below them belong to psopts (defaults) and pssec
// (credentials), the web users' keys below WebUserInfo to pswebusers.
#pragma once

// All paths are below HKEY_LOCAL_MACHINE.
inline constexpr const char kProxyKeyPath[] = "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy";
inline constexpr const char kDefaultsKeyPath[] =
    "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy\\Defaults";
inline constexpr const char kCredentialsKeyPath[] =
    "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy\\ProxyUserInfo";
// One key per web user with a logon pair of its own, named by the web user, laid out as the
// credentials key.
inline constexpr const char kWebUsersKeyPath[] =
    "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy\\WebUserInfo";
