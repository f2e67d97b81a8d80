// windows.h first: the others use its types
// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>
// clang-format on
#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "web/child.h"

namespace web {

namespace {

// A handle that closes itself.
struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE v) : h(v) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h(o.h) { o.h = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) {
            reset();
            h = o.h;
            o.h = nullptr;
        }
        return *this;
    }
    ~Handle() { reset(); }
    void reset() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = nullptr;
    }
};

std::wstring wide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// One argument quoted the way the C runtime splits a command line again.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

struct PipeEnds {
    Handle read, write;
};

PipeEnds make_pipe(bool inherit_read) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) throw std::runtime_error("cannot make a pipe");
    // only the child's end is inherited
    SetHandleInformation(inherit_read ? w : r, HANDLE_FLAG_INHERIT, 0);
    return {Handle(r), Handle(w)};
}

size_t read_some(HANDLE h, char* buf, size_t size) {
    DWORD n = 0;
    if (!ReadFile(h, buf, static_cast<DWORD>(size), &n, nullptr)) return 0;
    return n;
}

}  // namespace

struct Child::Handles {
    Handle process;
    DWORD pid = 0;
    Handle in, out, err;
    bool waited = false;
    int status = 0;
};

Child::Child(const ChildLaunch& launch) : h_(std::make_unique<Handles>()) {
    std::wstring cmd = quoted(launch.program.wstring());
    for (const auto& a : launch.args) cmd += L" " + quoted(wide(a));
    // the child's own environment block: the server's, with the launch's variables set on top
    // (changing the server's own would reach a child another thread starts meanwhile)
    std::wstring env;
    if (wchar_t* block = GetEnvironmentStringsW(); block != nullptr) {
        for (const wchar_t* e = block; *e != L'\0'; e += wcslen(e) + 1) {
            const std::wstring var(e);
            bool replaced = false;
            for (const auto& [k, v] : launch.env) {
                const std::wstring name = wide(k) + L"=";
                replaced = replaced || _wcsnicmp(var.c_str(), name.c_str(), name.size()) == 0;
            }
            if (!replaced) env += var + L'\0';
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [k, v] : launch.env) env += wide(k) + L"=" + wide(v) + L'\0';
    env += L'\0';

    PipeEnds in = make_pipe(true), out = make_pipe(false), err = make_pipe(false);
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = in.read.h;
    si.StartupInfo.hStdOutput = out.write.h;
    si.StartupInfo.hStdError = err.write.h;
    // the child inherits its three pipe ends and no other handle: not the listening socket, a
    // page's connection or another child's pipe
    HANDLE own[] = {in.read.h, out.write.h, err.write.h};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attrs(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrs.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size) ||
        !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, own, sizeof own,
                                   nullptr, nullptr)) {
        throw std::runtime_error("cannot limit the handles of " + launch.program.string());
    }
    si.lpAttributeList = list;
    PROCESS_INFORMATION pi{};
    const std::wstring dir = launch.dir.wstring();
    // a console of its own, without a window: a Ctrl+C at the server's console is the server's
    // to handle, and the child's Ctrl+C can be sent to it alone (interrupt())
    const BOOL ok =
        CreateProcessW(launch.program.wstring().c_str(), cmd.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                       env.data(), dir.empty() ? nullptr : dir.c_str(), &si.StartupInfo, &pi);
    DeleteProcThreadAttributeList(list);
    if (!ok) throw std::runtime_error("cannot run " + launch.program.string());
    CloseHandle(pi.hThread);
    h_->process = Handle(pi.hProcess);
    h_->pid = pi.dwProcessId;
    h_->in = std::move(in.write);
    h_->out = std::move(out.read);
    h_->err = std::move(err.read);
}

Child::~Child() {
    h_->in.reset();
    if (!h_->waited) (void)wait();
}

size_t Child::read_out(char* buf, size_t size) {
    return read_some(h_->out.h, buf, size);
}
size_t Child::read_err(char* buf, size_t size) {
    return read_some(h_->err.h, buf, size);
}

bool Child::write_in(std::string_view bytes) {
    if (h_->in.h == nullptr) return false;
    while (!bytes.empty()) {
        DWORD n = 0;
        if (!WriteFile(h_->in.h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) ||
            n == 0) {
            return false;
        }
        bytes.remove_prefix(n);
    }
    return true;
}

void Child::close_in() {
    h_->in.reset();
}

long Child::id() const {
    return static_cast<long>(h_->pid);
}

void Child::interrupt() {
    if (h_->waited || WaitForSingleObject(h_->process.h, 0) == WAIT_OBJECT_0) return;
    // only a process attached to the child's console can raise its Ctrl+C: a helper does that,
    // so the server keeps its own console
    try {
        ChildLaunch helper{own_directory() / program_name("tessaro-web"),
                           {"--ctrl-c", std::to_string(h_->pid)},
                           {},
                           {}};
        int status = 0;
        (void)run_for_output(helper, &status);
    } catch (const std::exception&) {
        // the run goes on; a Stop can be pressed again
    }
}

int Child::wait() {
    if (h_->waited) return h_->status;
    WaitForSingleObject(h_->process.h, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(h_->process.h, &code);
    h_->waited = true;
    h_->status = static_cast<int>(code);
    return h_->status;
}

void prepare_host() {}

std::filesystem::path own_directory() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(std::wstring(path, n)).parent_path();
}

std::string program_name(std::string_view base) {
    return std::string(base) + ".exe";
}

std::string random_bytes(size_t count) {
    std::string bytes(count, '\0');
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        throw std::runtime_error("no random bytes from the system");
    }
    return bytes;
}

bool console_interrupt_helper(int argc, char** argv, int& status) {
    if (argc != 3 || std::string_view(argv[1]) != "--ctrl-c") return false;
    const DWORD pid = std::wcstoul(wide(argv[2]).c_str(), nullptr, 10);
    FreeConsole();
    // the event goes to every process of that console, this one too, which ignores it
    status = AttachConsole(pid) && SetConsoleCtrlHandler(nullptr, TRUE) &&
                     GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)
                 ? 0
                 : 1;
    return true;
}

bool open_browser(const std::string& target) {
    const auto r = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", wide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return r > 32;
}

std::filesystem::path make_private_dir(std::string_view prefix) {
    // under the user's own temporary directory, whose access list the new one inherits
    for (int i = 0; i < 8; ++i) {
        const auto dir =
            std::filesystem::temp_directory_path() / (std::string(prefix) + random_hex(8));
        if (CreateDirectoryW(dir.wstring().c_str(), nullptr)) return dir;
    }
    throw std::runtime_error("cannot make a directory under the temporary directory");
}

std::filesystem::path user_state_dir() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0') return {};
    const std::filesystem::path dir = std::filesystem::path(local) / "tessaro-web";
    CreateDirectoryW(dir.wstring().c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(dir.wstring().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return {};
    }
    return dir;
}

bool write_private_file(const std::filesystem::path& path, std::string_view text) {
    Handle f(CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (f.h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    return WriteFile(f.h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) &&
           n == text.size();
}

void keep_from_children(std::intptr_t native) {
    SetHandleInformation(reinterpret_cast<HANDLE>(native), HANDLE_FLAG_INHERIT, 0);
}

size_t descriptors_allowed() {
    return 4096;  // sockets are not counted against a small table on Windows
}

}  // namespace web
