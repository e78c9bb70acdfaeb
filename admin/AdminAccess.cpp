#include "admin/AdminAccess.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

namespace velmo {

namespace {

std::string_view StripPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {  // [v6]:port
    auto close = host.find(']');
    if (close == std::string_view::npos) return host;
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return host;
    return host.substr(0, close + 1);
  }
  auto colon = host.rfind(':');
  return colon == std::string_view::npos ? host : host.substr(0, colon);
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

bool IsLoopbackAddress(std::string_view address) {
  if (IEquals(address, "localhost")) return true;
  std::string text(address);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

bool IsLoopbackHost(std::string_view host) {
  std::string_view name = StripPort(host);
  return name == "127.0.0.1" || IEquals(name, "localhost") || name == "[::1]";
}

bool BearerMatches(std::string_view authorization, std::string_view expected) {
  constexpr std::string_view kScheme = "Bearer ";
  if (expected.empty() || authorization.size() < kScheme.size() ||
      !IEquals(authorization.substr(0, kScheme.size()), kScheme)) {
    return false;
  }
  return SecretMatches(authorization.substr(kScheme.size()), expected);
}

bool FromClusterNode(const AdminAccess& access, const AccessRequest& request) {
  return !access.clusterToken.empty() && SecretMatches(request.clusterToken, access.clusterToken);
}

bool SecretMatches(std::string_view given, std::string_view expected) {
  if (expected.empty()) return false;
  // Every byte of the expected token is looked at whatever the given one is.
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0;
}

std::optional<AccessRefusal> CheckAccess(const AdminAccess& access, const AccessRequest& request) {
  if (FromClusterNode(access, request)) return std::nullopt;
  if (!access.token.empty()) {
    if (request.staticFile || BearerMatches(request.authorization, access.token)) return std::nullopt;
    return AccessRefusal{401, R"({"error":"unauthorized"})"};
  }
  if (!IsLoopbackHost(request.host)) return AccessRefusal{403, R"({"error":"forbidden host"})"};
  if (request.changesState && request.velmoRequest != "1") {
    return AccessRefusal{403, R"({"error":"missing X-Velmo-Request header"})"};
  }
  return std::nullopt;
}

bool ReadTokenFile(const std::string& path, std::string* token, std::string* error, std::string* warning) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the token file " + path;
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  if (text.empty()) {
    *error = "the token file " + path + " is empty";
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    *warning = "the token file " + path + " may be read by others than its owner (chmod 600 it)";
  }
  *token = std::move(text);
  return true;
}

}  // namespace velmo
