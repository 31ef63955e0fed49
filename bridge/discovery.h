// Home Assistant discovery: one retained config message per entity, at
// <discovery>/<component>/<node>_<object>/config, in the form that reads one
// entity per topic (openHAB reads only this form, not the newer
// one-message-per-device form).
//
// Every config carries a unique_id ("zarvo_" + the object id, so it never
// changes while the device's key does not), a device block (one device per
// FS20 address, sensor, thermostat and weather station, linked via_device to
// the bridge's own device), an availability list of <base>/status and
// <base>/service with availability_mode "all", and an origin block. The
// bridge's own connection entity is available on <base>/status alone: it
// reports the service's connection, so it must stay readable while that
// connection is down.
//
// Plain functions: they build texts and keep nothing. They allocate and so
// may throw std::bad_alloc; the engine catches that at its entry points.
#pragma once

#include <string>
#include <vector>

#include "bridge/devices_ini.h"

struct DiscoveryContext {
  std::string discovery;  // "homeassistant"; empty: discovery is off
  std::string base;       // "<prefix>/<node>"
  std::string node;
  std::string version;    // the bridge's version, for origin and device
};

struct ConfigMessage {
  std::string topic;
  std::string payload;  // JSON
};

// The command names of the events grammar, in command byte order: the
// event entity's event_types.
std::vector<std::string> Fs20EventTypes();

// The topic level <hc>-<addr> and the object ids built from it.
std::string Fs20Level(const std::string& hc, const std::string& addr);

void BridgeConfigs(const DiscoveryContext& ctx, std::vector<ConfigMessage>& out);
void TransceiverConfigs(const DiscoveryContext& ctx, const std::string& serial,
                        std::vector<ConfigMessage>& out);
// `name` empty: a name made from the address.
void Fs20Configs(const DiscoveryContext& ctx, const std::string& hc, const std::string& addr,
                 const std::string& name, Fs20Kind kind, std::vector<ConfigMessage>& out);
// `name` empty: an unnamed sensor, whose ids come from its radio id; named,
// the ids come from type and name and survive a change of radio id. `kind`
// chooses the device class of a door sensor (door, window or opening).
void SensorConfigs(const DiscoveryContext& ctx, const std::string& type, const std::string& id,
                   const std::string& name, Fs20Kind kind, std::vector<ConfigMessage>& out);
void HeatingConfigs(const DiscoveryContext& ctx, const std::string& code, const std::string& name,
                    std::vector<ConfigMessage>& out);
void WeatherConfigs(const DiscoveryContext& ctx, const std::string& serial,
                    const std::string& name, std::vector<ConfigMessage>& out);

// True for a config topic this node writes: <discovery>/<component>/
// <node>_<fs20|sensor|heating|weather|transceiver|bridge>_.../config.
bool IsOurConfigTopic(const DiscoveryContext& ctx, const std::string& topic);
