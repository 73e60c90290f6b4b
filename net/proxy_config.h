// The proxy settings of this Windows, for net/proxy_settings.h to choose from.
#pragma once
#include "net/proxy_settings.h"

// Internet Options of the current user and the environment, as they are now.
ProxySettings ReadProxySettings();
