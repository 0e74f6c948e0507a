// Where the proxy's settings live in the store: the parent key and its two children.
//
// Owns the key paths only; the values below them belong to psopts (defaults) and pssec
// (credentials).
#pragma once

// All paths are below HKEY_LOCAL_MACHINE.
inline constexpr const char kProxyKeyPath[] = "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy";
inline constexpr const char kDefaultsKeyPath[] =
    "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy\\Defaults";
inline constexpr const char kCredentialsKeyPath[] =
    "SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy\\ProxyUserInfo";
