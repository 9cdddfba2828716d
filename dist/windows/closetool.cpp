// The installer's custom action, run before files are installed or removed:
// a running copy of the installed tool is closed as its window's close button
// would close it (its port first), and the installer waits for it to end. A
// copy that does not end stops the installer with a message, rather than
// files being left behind with success reported.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {
constexpr DWORD kEndWaitMs = 10'000;
constexpr wchar_t kProgram[] = L"calvarin.exe";

bool startsWithFolder(const std::wstring &path, const std::wstring &folder)
{
    return !folder.empty() && path.size() > folder.size()
            && ::CompareStringOrdinal(path.c_str(), int(folder.size()), folder.c_str(), int(folder.size()), TRUE)
            == CSTR_EQUAL;
}

std::wstring imagePath(HANDLE process)
{
    std::wstring path(32'768, L'\0');
    DWORD size = DWORD(path.size());
    if (!::QueryFullProcessImageNameW(process, 0, path.data(), &size))
        return {};
    path.resize(size);
    return path;
}

BOOL CALLBACK closeWindowsOf(HWND window, LPARAM pid)
{
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == DWORD(pid))
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

void say(MSIHANDLE install, const std::wstring &text)
{
    PMSIHANDLE record = ::MsiCreateRecord(0);
    ::MsiRecordSetStringW(record, 0, text.c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK), record);
}
} // namespace

extern "C" __declspec(dllexport) UINT __stdcall CloseRunningTool(MSIHANDLE install)
{
    std::wstring folder(32'768, L'\0');
    DWORD size = DWORD(folder.size());
    if (::MsiGetTargetPathW(install, L"INSTALLDIR", folder.data(), &size) != ERROR_SUCCESS)
        return ERROR_SUCCESS; // nowhere to look yet
    folder.resize(size);

    // Every copy started from the installed folder.
    std::vector<HANDLE> running;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // Without the list a running copy can't be ruled out: files would be
    // replaced under it, the very case this action is for.
    if (snapshot == INVALID_HANDLE_VALUE) {
        say(install,
            L"Setup can't tell whether Calvarin is running from " + folder + L" (error "
                    + std::to_wstring(::GetLastError()) + L"). Close it, then run the installer again.");
        return ERROR_INSTALL_FAILURE;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (::lstrcmpiW(entry.szExeFile, kProgram) != 0)
            continue;
        const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                             entry.th32ProcessID);
        if (process && startsWithFolder(imagePath(process), folder)) {
            ::EnumWindows(closeWindowsOf, LPARAM(entry.th32ProcessID));
            running.push_back(process);
        } else if (process) {
            ::CloseHandle(process);
        }
    }
    ::CloseHandle(snapshot);

    bool ended = true;
    const ULONGLONG deadline = ::GetTickCount64() + kEndWaitMs;
    for (const HANDLE process : running) {
        const ULONGLONG now = ::GetTickCount64();
        ended = ::WaitForSingleObject(process, DWORD(now < deadline ? deadline - now : 0)) == WAIT_OBJECT_0 && ended;
        ::CloseHandle(process);
    }
    if (ended)
        return ERROR_SUCCESS;
    say(install,
        L"Calvarin is still running from " + folder
                + L" and did not close when asked. Close it, then run the installer again.");
    return ERROR_INSTALL_FAILURE;
}
