#include "admin/metrics_u.h"

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "domain/channelobject_u.h"
#include "host/TimeTools.h"
#include "server/serverobject_u.h"
#include "transport/PacketBuffers.h"
#include "transport/ServerCounters.h"

namespace vx {

namespace {

constexpr const char* MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// The figures of one running server, read in one go.
struct TServerFigures {
  std::string Labels;  // server="...",port="..."
  size_t Players = 0;
  size_t Channels = 0;
  uint32_t PacketsSent = 0, PacketsReceived = 0;
  int64_t BytesSent = 0, BytesReceived = 0;
  uint64_t Resends = 0;
  uint64_t Refused[size_t(TLoginRefusal::Count)] = {};
  uint64_t Dropped[IntakeResultCount] = {};
  uint64_t QueueDrops[3] = {};  // queue overflow, beyond an unvalidated peer's credit, stale voice
  double UptimeSeconds = 0;
};

// Names of the datagram refusals as monitoring shows them; empty for the
// datagrams that were taken.
std::string_view DropReasonName(TIntakeResult r) {
  switch (r) {
    case TIntakeResult::Accepted:
      return "";
    case TIntakeResult::Repeated:
      return "repeated";
    case TIntakeResult::NoConnection:
      return "unknown_player";
    case TIntakeResult::ListenerBusy:
      return "listener_busy";
    case TIntakeResult::Invalid:
      return "invalid";
    case TIntakeResult::ServerToClient:
      return "server_to_client";
    case TIntakeResult::WrongConnection:
      return "wrong_connection";
    case TIntakeResult::AfterClose:
      return "after_close";
    case TIntakeResult::CommandWhileClosing:
      return "command_while_closing";
    case TIntakeResult::VoiceDuringLogin:
      return "voice_during_login";
  }
  return "";
}

TServerFigures ReadServer(const std::string& configName, TServerObject& server) {
  TServerFigures f;
  f.Labels = "server=\"" + LabelValue(configName) + "\",port=\"" +
             std::to_string(server.Settings()->ServerUDPPort) + "\"";
  {
    // The stop of a server releases its parts under the player list lock.
    TLockGuard<TMutex> guard(server.Players.Lock);
    f.Players = server.Players.Items.size();
    if (server.Channels) {
      TLockGuard<TChannels> channels(*server.Channels);
      f.Channels = server.Channels->Count();
    }
    if (const TCustomPacketBuffer* buffer = server.PacketBuffer.get()) {
      buffer->GetTotals(f.PacketsSent, f.PacketsReceived, f.BytesSent, f.BytesReceived);
      f.Resends = buffer->Counters.ResendCount();
      for (size_t i = 0; i < size_t(TLoginRefusal::Count); ++i)
        f.Refused[i] = buffer->Counters.RefusedCount(TLoginRefusal(i));
      for (size_t i = 0; i < IntakeResultCount; ++i)
        f.Dropped[i] = buffer->IntakeCount(TIntakeResult(i));
      f.QueueDrops[0] = buffer->OverflowDropCount();
      f.QueueDrops[1] = buffer->CreditDropCount();
      f.QueueDrops[2] = buffer->StaleVoiceCount();
    }
  }
  f.UptimeSeconds = std::max(0.0, (TDateTime::Now().Value - server.StartTime.Value) * 86400.0);
  return f;
}

void Family(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

// Process figures from /proc: seconds since the process started, open
// descriptors, resident memory in bytes. -1 where they cannot be read.
double ProcessUptimeSeconds() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  // Field 22 (starttime) is the 20th after the command name.
  for (int i = 0; i < 20 && fields >> field; ++i) {
  }
  double uptime = 0;
  std::ifstream system("/proc/uptime");
  if (!(system >> uptime) || field.empty()) return -1;
  return uptime - std::stod(field) / double(sysconf(_SC_CLK_TCK));
}

long OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the one opendir holds
}

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return -1;
  return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace

TMetrics::TMetrics(TServerManager& manager) : Manager(manager) {}

TMetrics::~TMetrics() {
  Stop();
}

bool TMetrics::Start(int32_t port, const std::string& bindAddress) {
  Stop();
  if (port < 0 || port > 65535) return false;
  try {
    auto server = std::make_unique<THTTPServer>();
    server->SessionState = false;
    server->AutoStartSession = false;
    server->MaxConnections = 8;
    server->OnCommandGet = [this](THTTPRequestInfo& request, THTTPResponseInfo& response) {
      if (request.Document != "/metrics") {
        response.ResponseNo = 404;
        response.ContentType = "text/plain";
        response.ContentText = "Not Found\n";
        return;
      }
      response.ContentType = MetricsContentType;
      response.ContentText = Render();
    };
    server->Start(uint16_t(port), bindAddress);
    Server = std::move(server);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TMetrics::Stop() {
  if (Server) Server->Stop();
  Server.reset();
}

uint16_t TMetrics::BoundPort() const {
  return Server ? Server->BoundPort() : 0;
}

std::string TMetrics::Render() {
  std::vector<TServerFigures> servers;
  {
    std::shared_lock<std::shared_mutex> settings;
    if (SettingsLock != nullptr) settings = std::shared_lock(*SettingsLock);
    for (const auto& [configName, server] : Manager.ServerList())
      servers.push_back(ReadServer(configName, *server));
  }

  std::ostringstream out;
  out.precision(15);
  const auto each = [&](const char* name, const char* type, const char* help, auto value) {
    Family(out, name, type, help);
    for (const TServerFigures& f : servers)
      out << name << '{' << f.Labels << "} " << value(f) << '\n';
  };
  each("vorlantix_players", "gauge", "Players on the virtual server.",
       [](const TServerFigures& f) { return f.Players; });
  each("vorlantix_channels", "gauge", "Channels of the virtual server.",
       [](const TServerFigures& f) { return f.Channels; });
  each("vorlantix_packets_received_total", "counter",
       "Datagrams received since the server started.",
       [](const TServerFigures& f) { return f.PacketsReceived; });
  each("vorlantix_packets_sent_total", "counter", "Datagrams sent since the server started.",
       [](const TServerFigures& f) { return f.PacketsSent; });
  each("vorlantix_bytes_received_total", "counter", "Bytes received since the server started.",
       [](const TServerFigures& f) { return f.BytesReceived; });
  each("vorlantix_bytes_sent_total", "counter", "Bytes sent since the server started.",
       [](const TServerFigures& f) { return f.BytesSent; });
  each("vorlantix_resends_total", "counter", "Commands sent again for want of an acknowledgement.",
       [](const TServerFigures& f) { return f.Resends; });
  each("vorlantix_server_uptime_seconds", "gauge", "Seconds since the virtual server started.",
       [](const TServerFigures& f) { return std::floor(f.UptimeSeconds); });

  Family(out, "vorlantix_logins_refused_total", "counter", "Logins refused, by reason.");
  for (const TServerFigures& f : servers) {
    for (size_t i = 0; i < size_t(TLoginRefusal::Count); ++i)
      out << "vorlantix_logins_refused_total{" << f.Labels << ",reason=\""
          << LoginRefusalName(TLoginRefusal(i)) << "\"} " << f.Refused[i] << '\n';
  }
  Family(out, "vorlantix_datagrams_dropped_total", "counter",
         "Datagrams dropped on arrival, by reason.");
  for (const TServerFigures& f : servers) {
    for (size_t i = 0; i < IntakeResultCount; ++i) {
      const std::string_view name = DropReasonName(TIntakeResult(i));
      if (name.empty()) continue;
      out << "vorlantix_datagrams_dropped_total{" << f.Labels << ",reason=\"" << name << "\"} "
          << f.Dropped[i] << '\n';
    }
  }
  Family(out, "vorlantix_packets_dropped_total", "counter",
         "Packets for players dropped before sending, by reason.");
  for (const TServerFigures& f : servers) {
    static constexpr const char* reasons[] = {"queue_full", "unvalidated_peer", "stale_voice"};
    for (size_t i = 0; i < 3; ++i)
      out << "vorlantix_packets_dropped_total{" << f.Labels << ",reason=\"" << reasons[i] << "\"} "
          << f.QueueDrops[i] << '\n';
  }

  Family(out, "vorlantix_virtual_servers", "gauge", "Virtual servers running.");
  out << "vorlantix_virtual_servers " << servers.size() << '\n';
  Family(out, "process_uptime_seconds", "gauge", "Seconds since the process started.");
  out << "process_uptime_seconds " << std::floor(ProcessUptimeSeconds()) << '\n';
  Family(out, "process_open_fds", "gauge", "Open file descriptors.");
  out << "process_open_fds " << OpenDescriptors() << '\n';
  Family(out, "process_resident_memory_bytes", "gauge", "Resident memory in bytes.");
  out << "process_resident_memory_bytes " << ResidentBytes() << '\n';
  return out.str();
}

}  // namespace vx
