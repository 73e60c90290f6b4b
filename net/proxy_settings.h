// Which HTTP proxy a request goes through, from the settings as read: those
// of Internet Options when they name one, else the http_proxy environment
// variable as wget and curl read it. Text alone, no windows.h, so it is
// tested natively; net/proxy_config.h reads the settings on Windows.
#pragma once
#include <stdint.h>

#include <string>

struct ProxySettings {
    // HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings
    bool proxyEnable = false;
    std::string proxyServer;    // "host:port", or "http=host:port;https=host:port;..."
    std::string proxyOverride;  // "*.local;192.168.*;<local>"
    // The environment; "" when unset.
    std::string httpProxy, httpsProxy, noProxy;
};

struct ProxyAddress {
    std::string host;
    uint16_t port = 0;
};

struct ProxyChoice {
    bool direct = true;
    ProxyAddress proxy;  // when not direct
    std::string source;  // "Internet Options", "http_proxy" or "https_proxy"; "" when none applies
    // "" or a whole sentence for the failure box, should the request fail: a
    // setting that could not be read or used (the request then goes direct),
    // or a part of it that is left out.
    std::string problem;
};

// Whether Internet Options name a proxy, which then rules over the
// environment's.
bool InternetOptionsNameProxy(const ProxySettings &settings);
// The way to host:port for an http (or, when secure, https) request.
ProxyChoice ChooseProxy(const ProxySettings &settings, bool secure, const std::string &host,
                        uint16_t port);
