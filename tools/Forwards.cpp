#include "Forwards.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "model/EndpointText.h"

namespace forwards {
namespace {

// A decimal port, or 0 when `text` is not one.
uint32_t portNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  return value <= 65535 ? static_cast<uint32_t>(value) : 0;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A table cell on one line: control characters (line breaks in an id would
// forge rows) and the backslash are written as C escapes.
std::string tableCell(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n' || c == '\r' || c == '\t') {
      out += {'\\', c == '\n' ? 'n' : c == '\r' ? 'r' : 't'};
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::vector<NatRule> parseIotRules(const std::string& output) {
  std::vector<NatRule> rules;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string word, chain;
    if (!(words >> word >> chain) || word != "-A" || chain != "IOT") continue;
    NatRule rule;
    std::string value;
    while (words >> word) {
      if (word == "-i" && words >> value) rule.interface = value;
      if (word == "-p" && words >> value) rule.protocol = value;
      if (word == "--dport" && words >> value) rule.port = portNumber(value);
      if (word == "--to-destination" && words >> value) rule.destination = value;
    }
    rules.push_back(rule);
  }
  return rules;
}

const char* stateName(State state) {
  switch (state) {
    case State::Forwarded:
      return "ok";
    case State::NoRule:
      return "no-rule";
    case State::NoEndpoint:
      return "no-endpoint";
    case State::Duplicate:
      return "duplicate";
  }
  return "?";
}

std::vector<Forward> join(const std::vector<xml::PublishedEndpoint>& endpoints,
                          const std::vector<NatRule>& rules) {
  std::vector<Forward> rows;
  std::vector<bool> taken(rules.size(), false);
  std::vector<uint32_t> published_ports;
  for (const xml::PublishedEndpoint& endpoint : endpoints) {
    Forward row;
    row.component = endpoint.component;
    row.service = endpoint.service;
    row.endpoint = endpoint.text;
    // Published as "service:PROT:id:zone-address:external-port[suffix]".
    const EndpointFields fields = splitEndpointText(endpoint.text);
    row.zone_address = fields.address;
    row.external_port = portNumber(fields.port);
    const bool repeated = row.external_port != 0 &&
                          std::count(published_ports.begin(), published_ports.end(), row.external_port) > 0;
    published_ports.push_back(row.external_port);
    row.state = repeated ? State::Duplicate : State::NoRule;
    for (size_t i = 0; i < rules.size() && !repeated && row.external_port != 0; ++i) {
      if (taken[i] || rules[i].port != row.external_port) continue;
      taken[i] = true;
      row.state = State::Forwarded;
      row.interface = rules[i].interface;
      row.protocol = rules[i].protocol;
      row.destination = rules[i].destination;
      break;
    }
    rows.push_back(row);
  }
  for (size_t i = 0; i < rules.size(); ++i) {
    if (taken[i]) continue;
    Forward row;
    const bool repeated =
        rules[i].port != 0 && std::count(published_ports.begin(), published_ports.end(), rules[i].port) > 0;
    row.state = repeated ? State::Duplicate : State::NoEndpoint;
    row.external_port = rules[i].port;
    row.interface = rules[i].interface;
    row.protocol = rules[i].protocol;
    row.destination = rules[i].destination;
    rows.push_back(row);
  }
  return rows;
}

std::string formatTable(const std::vector<Forward>& rows) {
  std::vector<std::vector<std::string>> cells = {
      {"COMPONENT", "SERVICE", "PUBLISHED AS", "PORT", "INTERFACE", "PROTO", "FORWARDED TO", "STATE"}};
  for (const Forward& row : rows) {
    const bool has_rule = !row.destination.empty() || !row.interface.empty();
    cells.push_back({row.component.empty() ? "-" : tableCell(row.component),
                     row.service.empty() ? "-" : tableCell(row.service),
                     row.endpoint.empty() ? "-" : tableCell(row.endpoint),
                     row.external_port ? std::to_string(row.external_port) : "-",
                     has_rule ? tableCell(row.interface) : "-", has_rule ? tableCell(row.protocol) : "-",
                     has_rule ? tableCell(row.destination) : "-", stateName(row.state)});
  }
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto& line : cells)
    for (size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
  std::string out;
  for (const auto& line : cells) {
    for (size_t c = 0; c < line.size(); ++c) {
      out += line[c];
      if (c + 1 < line.size()) out += std::string(width[c] - line[c].size() + 2, ' ');
    }
    out += '\n';
  }
  return out;
}

std::string formatJson(const std::vector<Forward>& rows) {
  std::string out = "{\"forwards\": [";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Forward& row = rows[i];
    out += i ? ",\n  {" : "\n  {";
    out += "\"state\": " + jsonString(stateName(row.state)) +
           ", \"component\": " + jsonString(row.component) + ", \"service\": " + jsonString(row.service) +
           ", \"endpoint\": " + jsonString(row.endpoint) +
           ", \"zone_address\": " + jsonString(row.zone_address) +
           ", \"external_port\": " + std::to_string(row.external_port) +
           ", \"interface\": " + jsonString(row.interface) + ", \"protocol\": " + jsonString(row.protocol) +
           ", \"destination\": " + jsonString(row.destination) + "}";
  }
  return out + (rows.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace forwards
