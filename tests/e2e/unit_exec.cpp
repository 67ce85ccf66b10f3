// Starts a program under the restrictions a systemd unit puts on its service,
// for the tests that run the daemon the way it is shipped:
//
//   unit_exec [--umask OCTAL] [--nofile SOFT[:HARD]] [--no-new-privileges]
//             [--allow FILE] [--deny FILE] [--errno N] -- PROGRAM [ARGUMENTS...]
//
// --allow names a file of system calls (one a line) that alone are allowed,
// every other call failing with --errno (default EPERM); --deny names calls
// that fail so while everything else is allowed; with both, the calls of
// --deny are taken out of --allow. Names
// this machine's libseccomp does not know are skipped. Calls of another
// architecture than the native one kill the process. The capability bounding
// set is left to setpriv(1), which the test puts in front.
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> readNames(const char* path) {
    std::set<std::string> names;
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "unit_exec: cannot read %s\n", path);
        std::exit(127);
    }
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) names.insert(line);
    }
    return names;
}

bool loadFilter(const std::set<std::string>* allow, const std::set<std::string>& deny, int error) {
    const std::uint32_t refuse = SCMP_ACT_ERRNO(static_cast<std::uint32_t>(error));
    scmp_filter_ctx filter = seccomp_init(allow != nullptr ? refuse : SCMP_ACT_ALLOW);
    if (filter == nullptr) return false;
    seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    const auto add = [&](const std::string& name, std::uint32_t action) {
        const int number = seccomp_syscall_resolve_name(name.c_str());
        // Unknown here, or a call this architecture does not have.
        if (number == __NR_SCMP_ERROR) return;
        seccomp_rule_add(filter, action, number, 0);
    };
    if (allow != nullptr) {
        for (const auto& name : *allow) {
            if (deny.count(name) == 0) add(name, SCMP_ACT_ALLOW);
        }
    } else {
        for (const auto& name : deny) add(name, refuse);
    }
    const int rc = seccomp_load(filter);
    seccomp_release(filter);
    return rc == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::set<std::string> allow;
    std::set<std::string> deny;
    bool allowList = false;
    int error = EPERM;
    int index = 1;
    for (; index < argc && std::strcmp(argv[index], "--") != 0; ++index) {
        const std::string option = argv[index];
        if (option == "--no-new-privileges") {
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
                std::perror("unit_exec: no_new_privs");
                return 127;
            }
            continue;
        }
        if (index + 1 >= argc) {
            std::fprintf(stderr, "unit_exec: %s needs a value\n", option.c_str());
            return 127;
        }
        const char* value = argv[++index];
        if (option == "--umask") {
            ::umask(static_cast<mode_t>(std::strtoul(value, nullptr, 8)));
        } else if (option == "--nofile") {
            char* end = nullptr;
            rlimit limit{};
            limit.rlim_cur = std::strtoul(value, &end, 10);
            limit.rlim_max = *end == ':' ? std::strtoul(end + 1, nullptr, 10) : limit.rlim_cur;
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                std::perror("unit_exec: RLIMIT_NOFILE");
                return 127;
            }
        } else if (option == "--allow") {
            allow = readNames(value);
            allowList = true;
        } else if (option == "--deny") {
            deny = readNames(value);
        } else if (option == "--errno") {
            error = std::atoi(value);
        } else {
            std::fprintf(stderr, "unit_exec: unknown option %s\n", option.c_str());
            return 127;
        }
    }
    if (index + 1 >= argc) {
        std::fprintf(stderr, "unit_exec: no program given\n");
        return 127;
    }
    if ((allowList || !deny.empty()) && !loadFilter(allowList ? &allow : nullptr, deny, error)) {
        std::fprintf(stderr, "unit_exec: the system call filter could not be loaded\n");
        return 127;
    }
    ::execv(argv[index + 1], argv + index + 1);
    std::fprintf(stderr, "unit_exec: cannot run %s: %s\n", argv[index + 1], std::strerror(errno));
    return 127;
}
