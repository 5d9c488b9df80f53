#include "app/bundle_host.h"

#include <ext/stdio_filebuf.h>

#include "app/stdio_host.h"
#include "common/file_io.h"
#include "common/text.h"

namespace vlvpn {

struct InterfaceChild::Streams {
  using FileBuffer = __gnu_cxx::stdio_filebuf<char>;
  Streams(int from_fd, int to_fd)
      : from_buffer(from_fd, std::ios::in | std::ios::binary),
        to_buffer(std::make_unique<FileBuffer>(to_fd, std::ios::out | std::ios::binary)),
        from(&from_buffer),
        to(to_buffer.get()) {}

  FileBuffer from_buffer;
  std::unique_ptr<FileBuffer> to_buffer;  // closed first when the child goes: its input ends
  std::istream from;
  std::ostream to;
};

std::unique_ptr<InterfaceChild> InterfaceChild::Start(const std::filesystem::path& node,
                                                      const std::filesystem::path& bundle, std::string& error) {
#ifdef _WIN32
  const ChildProcess::Options options{.tied = true, .quiet = true};  // a desktop program has no console for it
#else
  const ChildProcess::Options options{.tied = true, .quiet = false};
#endif
  try {
    return std::unique_ptr<InterfaceChild>(new InterfaceChild(std::make_unique<ChildProcess>(
        node, std::vector<std::string>{PathToUtf8(bundle), std::string(kBundleHostFlag)}, ChildProcess::Environment{},
        options)));
  } catch (const std::exception& e) {
    error = e.what();
    return nullptr;
  }
}

InterfaceChild::InterfaceChild(std::unique_ptr<ChildProcess> process)
    : process_(std::move(process)),
      streams_(std::make_unique<Streams>(process_->TakeOutput(), process_->TakeInput())) {}

// End of input first, then the end itself: five seconds for it, then it is killed.
InterfaceChild::~InterfaceChild() {
  streams_->to.rdbuf(nullptr);
  streams_->to_buffer.reset();
  process_->Terminate();
  process_->WaitForExit(std::chrono::seconds(5));
}

void InterfaceChild::Terminate() { process_->Terminate(); }
std::uint32_t InterfaceChild::pid() const { return process_->pid(); }

std::istream& InterfaceChild::FromChild() { return streams_->from; }
std::ostream& InterfaceChild::ToChild() { return streams_->to; }

std::filesystem::path BundleFile(const std::filesystem::path& executable_folder) {
  return executable_folder / "Bundle" / "index.windows";
}

BundleHost::BundleHost(std::shared_ptr<ModuleServices> services, const std::filesystem::path& executable_folder) {
  const std::filesystem::path bundle = BundleFile(executable_folder);
  const auto node = FindNode(executable_folder);
  if (!IsRegularFile(bundle)) {
    failure_ = "No interface bundle at \"" + PathToUtf8(bundle) + "\".";
  } else if (!node) {
    failure_ = "No JavaScript runtime (node) beside the executable or on PATH to run \"" + PathToUtf8(bundle) + "\".";
  } else if (child_ = InterfaceChild::Start(*node, bundle, failure_); child_) {
    services->interface_pid = child_->pid();
    writer_ = std::make_shared<LineWriter>(child_->ToChild());
    serving_ = std::thread([this, services] { RunStdioHost(child_->FromChild(), writer_, services); });
    WriteHostLog(services->locations, "Interface: \"" + PathToUtf8(*node) + "\" \"" + PathToUtf8(bundle) +
                                          "\", pid " + std::to_string(child_->pid()) + ".\n");
    return;
  }
  WriteHostLog(services->locations, "Interface not started: " + failure_ + "\n");
}

BundleHost::~BundleHost() {
  if (child_) child_->Terminate();
  Wait();
}

void BundleHost::Wait() {
  if (serving_.joinable()) serving_.join();
}

void BundleHost::CloseOutput() {
  if (writer_) writer_->Close();
}

void WriteHostLog(const DataLocations& locations, const std::string& text) {
  try {
    const std::filesystem::path folder = locations.AppFolder();
    std::filesystem::create_directories(folder);
    WriteFileAtomically(folder / "VLVPNDesk.log", text);
  } catch (const std::exception&) {
    // Nowhere to say it; the window still works.
  }
}

}  // namespace vlvpn
