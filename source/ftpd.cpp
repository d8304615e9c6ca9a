// The FTP server engine. The server owns its account list (fixed after start) and the list
// of running sessions, both under the server's short lock together with each session's
// descriptors, so that closing the server can wake every session. Each session runs on its
// own detached thread and touches only its own record; system account look-ups and crypt
// run under one process-wide lock.
#include "ftpd.h"

#include "date.h"
#include "file.h"
#include "format.h"
#include "inet.h"
#include "lock.h"
#include "pattern.h"
#include "socket.h"
#include "thread.h"
#include "time.h"

#include "detail/common.hpp"
#include "detail/ftpd.hpp"
#include "detail/list.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <shadow.h>
#include <csignal>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using tarvik::detail::Cursor;
using tarvik::detail::DoublyLinked;
using tarvik::detail::is_digit;
using tarvik::detail::Text;
using tarvik::detail::Writer;

namespace {

constexpr size_t COMMAND_SIZE = 512;
constexpr size_t DATA_SIZE = 4096;
// Session threads get a small stack of their own; the sanitizers need far more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t SESSION_STACK_KIB = 1024;
#else
constexpr uint32_t SESSION_STACK_KIB = 128;
#endif
// Connecting to a client's active-mode port never waits longer than this.
constexpr int CONNECT_TIMEOUT_MS = 10000;
// Directory entries one listing may read while expanding a pattern.
constexpr unsigned GLOB_BUDGET = 20000;
// Carry-over bits of a session's state.
constexpr uint32_t PENDING_USER = 1;
constexpr uint32_t PENDING_OFFSET = 2;
constexpr uint32_t PENDING_RENAME = 4;
// Transfer types.
enum : int { TYPE_UNSET, TYPE_ASCII, TYPE_IMAGE, TYPE_LOCAL };

struct Session;

} // namespace

struct tarvik_ftpd_s {
    int m_socket;
    uint8_t m_address[TARVIK_SOCKADDR_BUFFER_SIZE];
    tarvik_ftpd_account_t *m_account_head;
    tarvik_ftpd_account_t *m_account_tail;
    tarvik_short_lock_t m_lock; // the session list and every session's descriptors
    Session *m_session_head;
    Session *m_session_tail;
    uint32_t m_session_count;
    uint32_t m_max_sessions;
    int m_idle_timeout_ms;
};

struct tarvik::detail::FtpdSession {};

namespace {

struct Session : tarvik::detail::FtpdSession {
    Session *m_prev;
    Session *m_next;
    tarvik_ftpd_t *m_server;
    tarvik_ftpd_account_t *m_accounts;
    tarvik_ftpd_account_t *m_account; // logged in; null when not
    uint32_t m_state;                 // carry-over bits of the last command
    uint32_t m_renewed;               // bits the running command renewed
    int m_timeout_ms;                 // every wait of the session (negative: none)
    int m_control;
    uint8_t m_peer[TARVIK_SOCKADDR_BUFFER_SIZE];
    char *m_command; // COMMAND_SIZE bytes
    size_t m_command_length;
    bool m_discarding; // inside an overlong line, up to its end
    bool m_logged_in;
    bool m_stop; // set by the server's close (under its lock)
    bool m_uploading;
    int m_data;    // data connection
    int m_passive; // passive listener
    uint8_t m_active[TARVIK_SOCKADDR_BUFFER_SIZE];
    char *m_buffer; // DATA_SIZE bytes
    int m_file;
    char *m_user;
    int64_t m_offset;
    int m_type;
    char *m_home; // real directory that is the virtual root (resolved)
    char *m_cwd;  // current virtual directory
    char *m_rename;
    uint32_t m_uid;
    uint32_t m_gid;
    uint64_t m_upload_device;
    uint64_t m_upload_inode;
    uint64_t m_deadline; // uptime by which the next command must be complete
};

using SessionList = DoublyLinked<Session>;
using AccountList = DoublyLinked<tarvik_ftpd_account_t>;

// ---- small helpers ----------------------------------------------------------------------

bool is_separator(int c) { return c == '/' || c == '\\'; }

char *duplicate(const char *text) { return text ? tarvik_strdup_tag(text, TARVIK_TAG) : nullptr; }

void release(char **text)
{
    if (*text != nullptr) {
        tarvik_free_tag(*text, TARVIK_TAG);
        *text = nullptr;
    }
}

void zero_release(char **text)
{
    if (*text != nullptr) {
        volatile char *p = *text;
        while (*p != '\0') {
            *p++ = '\0';
        }
        release(text);
    }
}

void wipe(void *data, size_t size)
{
    volatile char *p = static_cast<char *>(data);
    while (size-- > 0) {
        *p++ = 0;
    }
}

sa_family_t family_of(const void *address)
{
    sa_family_t family = 0;
    memcpy(&family, static_cast<const uint8_t *>(address) + offsetof(sockaddr, sa_family),
           sizeof(family));
    return family;
}

// The host part of an address as 4 (IPv4, also from a v4-mapped IPv6 address) or 16 raw
// bytes; returns the byte count, 0 for other families.
size_t host_bytes(const void *address, uint8_t *out)
{
    sa_family_t family = family_of(address);
    if (family == AF_INET) {
        memcpy(out, static_cast<const uint8_t *>(address) + offsetof(sockaddr_in, sin_addr), 4);
        return 4;
    }
    if (family != AF_INET6) {
        return 0;
    }
    memcpy(out, static_cast<const uint8_t *>(address) + offsetof(sockaddr_in6, sin6_addr), 16);
    if (tarvik_in6addr_is_v4_mapped(out)) {
        memmove(out, out + 12, 4);
        return 4;
    }
    return 16;
}

bool same_host(const void *left, const void *right)
{
    uint8_t a[16];
    uint8_t b[16];
    size_t length = host_bytes(left, a);
    return length != 0 && length == host_bytes(right, b) && memcmp(a, b, length) == 0;
}

uint16_t port_of(const void *address)
{
    uint16_t port = 0;
    size_t offset = family_of(address) == AF_INET6 ? offsetof(sockaddr_in6, sin6_port)
                                                   : offsetof(sockaddr_in, sin_port);
    memcpy(&port, static_cast<const uint8_t *>(address) + offset, sizeof(port));
    return tarvik_be16_order(port);
}

// A stream socket of family; IPv6 sockets take IPv4 peers too (v4-mapped).
int open_stream(int family)
{
    int descriptor = tarvik_open_socket(family, SOCK_STREAM, 0);
    int off = 0;
    if (descriptor >= 0 && family == AF_INET6) {
        tarvik_setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    }
    return descriptor;
}

// ASCII is the protocol's default type: a client that never sent TYPE gets it (and some,
// like ncftp's ASCII mode, rely on that).
bool is_ascii(const Session *session)
{
    return session->m_type == TYPE_ASCII || session->m_type == TYPE_UNSET;
}

// ---- descriptors shared with the closing thread --------------------------------------------

// Replaces one of the session's descriptors under the server's lock, closing the old one
// (gracefully unless abort). A stopping session refuses a new descriptor: false.
bool set_descriptor(Session *session, int *field, int descriptor, bool abort = false)
{
    int old;
    bool stopping;
    {
        tarvik::detail::ShortLockGuard guard(&session->m_server->m_lock);
        old = *field;
        stopping = session->m_stop;
        *field = stopping ? -1 : descriptor;
    }
    if (old >= 0) {
        if (abort) {
            tarvik_set_linger_socket(old, 1, 0);
        } else {
            tarvik_shutdown_socket(old, 1);
        }
        tarvik_close_socket(old);
    }
    if (stopping && descriptor >= 0) {
        tarvik_close_socket(descriptor);
        return false;
    }
    return true;
}

void close_data(Session *session, bool abort = false)
{
    set_descriptor(session, &session->m_data, -1, abort);
    set_descriptor(session, &session->m_passive, -1);
}

// ---- replies ------------------------------------------------------------------------------

// Sends "code separator a b c CR LF"; false when it cannot be sent. The texts are at most
// a path and a command line long, so the line always fits.
bool send_reply(Session *session, unsigned code, char separator, const char *a, const char *b = "",
                const char *c = "")
{
    char line[PATH_MAX + COMMAND_SIZE + 64];
    Writer writer(line, sizeof(line));
    writer.decimal(code).put(separator).puts(a).puts(b).puts(c).puts("\r\n");
    return tarvik_send(session->m_control, line, writer.length(), session->m_timeout_ms) ==
           static_cast<ssize_t>(writer.length());
}

// Handlers return 0 to go on and non-zero to end the session.
int reply(Session *session, unsigned code, const char *a, const char *b = "", const char *c = "")
{
    return send_reply(session, code, ' ', a, b, c) ? 0 : -1;
}

int reply_number(Session *session, unsigned code, uint64_t value)
{
    char digits[24];
    Writer(digits, sizeof(digits)).decimal(value);
    return reply(session, code, digits);
}

// ---- paths ----------------------------------------------------------------------------------

// Joins argument to the current virtual directory (a leading separator starts again from the
// root): "." components are dropped, ".." removes the nearest earlier one but never the
// root. false when the result does not fit.
bool join_virtual(const char *cwd, const char *argument, char *out, size_t size)
{
    size_t length = 0;
    for (const char *text = is_separator(argument[0]) ? argument : cwd; text != nullptr;
         text = text == argument ? nullptr : argument) {
        Cursor cursor = Cursor::of(text);
        while (!cursor.at_end()) {
            Text part = cursor.word(is_separator);
            if (part.equals("..")) {
                while (length > 0 && out[--length] != '/') {
                }
            } else if (!part.empty() && !part.equals(".")) {
                if (length + 1 + part.m_length >= size) {
                    return false;
                }
                out[length++] = '/';
                memcpy(out + length, part.m_data, part.m_length);
                length += part.m_length;
            }
        }
    }
    if (length == 0) {
        out[length++] = '/';
    }
    out[length] = '\0';
    return true;
}

// The real form of path: the longest leading part that exists is resolved (links followed),
// the rest appended as written. With keep_last the last component itself is never resolved
// (the command acts on the entry, not on what a link points to). false when nothing resolves.
bool canonical(const char *path, bool keep_last, char *out)
{
    char work[PATH_MAX];
    if (path[0] != '/' || !Text::of(path).copy_to(work, sizeof(work))) {
        return false;
    }
    size_t cut = strlen(work);
    if (keep_last) {
        while (cut > 0 && work[cut] != '/') {
            --cut;
        }
    }
    for (;;) {
        char saved = work[cut];
        work[cut] = '\0';
        bool resolved = realpath(cut == 0 ? "/" : work, out) != nullptr;
        work[cut] = saved;
        if (resolved) {
            break;
        }
        if (cut == 0 || (errno != ENOENT && errno != ENOTDIR && errno != EACCES)) {
            return false;
        }
        do {
            --cut;
        } while (cut > 0 && work[cut] != '/');
    }
    size_t length = strlen(out);
    if (length == 1 && work[cut] != '\0') {
        length = 0; // the root: its tail brings the separator
    }
    Writer writer(out + length, PATH_MAX - length);
    writer.puts(work + cut);
    return !writer.truncated();
}

// Whether path lies inside the directory root (both in real form).
bool inside(const char *root, const char *path)
{
    size_t length = strlen(root);
    if (length == 1 && root[0] == '/') {
        return path[0] == '/';
    }
    return strncmp(root, path, length) == 0 && (path[length] == '\0' || path[length] == '/');
}

// The textual real path of a virtual path inside the session's root.
bool real_text(const Session *session, const char *virtual_path, char *out)
{
    Writer writer(out, PATH_MAX);
    const char *root = session->m_home;
    if (strcmp(virtual_path, "/") == 0) {
        writer.puts(root);
    } else {
        writer.puts(strcmp(root, "/") == 0 ? "" : root).puts(virtual_path);
    }
    return !writer.truncated();
}

// Resolves a client path into its virtual form and its real form (PATH_MAX bytes each);
// false when it cannot be formed or would leave the root through a link.
bool resolve(const Session *session, const char *argument, bool keep_last, char *virtual_path,
             char *real_path)
{
    char text[PATH_MAX];
    return session->m_home != nullptr &&
           join_virtual(session->m_cwd, argument, virtual_path, PATH_MAX) &&
           real_text(session, virtual_path, text) && canonical(text, keep_last, real_path) &&
           inside(session->m_home, real_path);
}

// ---- accounts and login ---------------------------------------------------------------------

// What one account search matched: a copy of the entry's fields, or the system's.
struct Working {
    uint32_t m_flags;
    const char *m_password;
    const char *m_home;
    uint32_t m_uid;
    uint32_t m_gid;
};

// System look-ups share glibc's static state and crypt's result buffer: one at a time.
tarvik_lock_t s_login_lock = TARVIK_LOCK_INITIALIZER;

constexpr const char *CRYPT_LIBRARIES = "libcrypto.so|libcrypt.so|libcrypt.so.1";

// Whether crypt(password, hash) gives hash back, with crypt loaded from the first library
// that has it. The whole hash is the setting, so every method's salt is kept whole.
bool crypt_matches(const char *password, const char *hash)
{
    // The list can be replaced for tests (a device that lacks every library).
    const char *list = getenv("TARVIK_FTPD_CRYPT_LIBRARIES");
    tarvik::detail::ListWalker walker(list != nullptr ? list : CRYPT_LIBRARIES);
    Text name;
    while (walker.next(&name)) {
        char file[128];
        if (!name.copy_to(file, sizeof(file))) {
            continue;
        }
        void *library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            continue;
        }
        using Crypt = char *(*)(const char *, const char *);
        Crypt function = reinterpret_cast<Crypt>(dlsym(library, "crypt"));
        bool match = false;
        if (function != nullptr) {
            const char *result = function(password, hash);
            match = result != nullptr && hash[0] != '\0' && strcmp(result, hash) == 0;
        }
        dlclose(library);
        if (function != nullptr) {
            return match;
        }
    }
    return false;
}

// Fills working from the system databases for user (call under s_login_lock with the
// shadow file locked); false when there is no such user or the user is locked.
bool system_entry(const char *user, Working *working, char *buffer, size_t size, char *secret,
                  size_t secret_size)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwnam_r(user, &entry, buffer, size, &found) != 0 || found == nullptr ||
        entry.pw_passwd == nullptr) {
        return false;
    }
    working->m_uid = entry.pw_uid;
    working->m_gid = entry.pw_gid;
    working->m_home = entry.pw_dir;
    if (strcmp(user, "root") == 0) {
        working->m_flags |= 0x1u | def_tarvik_ftpd_account_unjailed;
    }
    const char *stored = entry.pw_passwd;
    if (strcmp(stored, "x") == 0 || strcmp(stored, "*") == 0) {
        struct spwd shadow;
        struct spwd *shadow_found = nullptr;
        if (getspnam_r(user, &shadow, secret, secret_size, &shadow_found) != 0 ||
            shadow_found == nullptr || shadow.sp_pwdp == nullptr) {
            return false;
        }
        stored = shadow.sp_pwdp;
    }
    // "!" and "*" in front lock an account (usermod -L keeps the hash behind the "!").
    if (stored[0] == '!' || stored[0] == '*') {
        return false;
    }
    if (stored[0] != '\0') {
        // A hash in the password file itself (systems without shadow) is still a hash.
        working->m_flags |= def_tarvik_ftpd_account_hashed;
        working->m_password = stored;
    }
    return true;
}

bool password_matches(const Working &working, const char *password)
{
    if (working.m_password == nullptr || working.m_password[0] == '\0') {
        return password == nullptr || password[0] == '\0';
    }
    if (password == nullptr) {
        return false; // the USER stage: a password is still to come
    }
    if ((working.m_flags & def_tarvik_ftpd_account_hashed) != 0) {
        return crypt_matches(password, working.m_password);
    }
    return strcmp(password, working.m_password) == 0;
}

// Sets the session's root and current directory for a home (null: "/").
bool enter_home(Session *session, const char *home, bool unjailed)
{
    char root[PATH_MAX];
    const char *start = home != nullptr && home[0] != '\0' ? home : "/";
    if (realpath(start, root) == nullptr) {
        Text::of(start).copy_to(root, sizeof(root));
    }
    release(&session->m_home);
    release(&session->m_cwd);
    session->m_home = duplicate(unjailed ? "/" : root);
    session->m_cwd = duplicate(unjailed ? root : "/");
    return session->m_home != nullptr && session->m_cwd != nullptr;
}

const char *environment_home(char *buffer, size_t size)
{
    const char *home = getenv("HOME");
    if (home != nullptr) {
        return home;
    }
    const char *drive = getenv("HOMEDRIVE");
    const char *path = getenv("HOMEPATH");
    if (drive == nullptr && path == nullptr) {
        return nullptr;
    }
    Writer(buffer, size).puts(drive).puts(path);
    return buffer;
}

// Whether entry matches user (and password, null at the USER stage); on a match the
// session is logged in with it.
bool try_account(Session *session, tarvik_ftpd_account_t *entry, const char *user,
                 const char *password)
{
    Working working{entry->m_flags, entry->m_password, entry->m_home, entry->m_uid, entry->m_gid};
    char home[PATH_MAX];
    if ((entry->m_flags & def_tarvik_ftpd_account_system) == 0) {
        if (entry->m_name != nullptr ? user == nullptr || strcmp(entry->m_name, user) != 0
                                     : user != nullptr) {
            return false;
        }
        if (!password_matches(working, password)) {
            return false;
        }
    } else {
        if (user == nullptr || (entry->m_name != nullptr && strcmp(entry->m_name, user) != 0)) {
            return false;
        }
        char buffer[2048];
        char secret[1024];
        tarvik_lock_tag(&s_login_lock, TARVIK_TAG);
        // Without the right to lock the shadow file the look-up still runs (and then finds
        // no shadow entry).
        bool locked = lckpwdf() == 0;
        working.m_password = nullptr;
        bool match = system_entry(user, &working, buffer, sizeof(buffer), secret, sizeof(secret)) &&
                     password_matches(working, password);
        if (locked) {
            ulckpwdf();
        }
        tarvik_unlock_tag(&s_login_lock, TARVIK_TAG);
        if (match) {
            Text::of(working.m_home).copy_to(home, sizeof(home));
            working.m_home = home;
        }
        wipe(secret, sizeof(secret));
        wipe(buffer, sizeof(buffer));
        if (!match) {
            return false;
        }
    }
    const char *path = entry->m_home != nullptr    ? entry->m_home
                       : working.m_home != nullptr ? working.m_home
                                                   : environment_home(home, sizeof(home));
    session->m_account = entry;
    session->m_uid = working.m_uid;
    session->m_gid = working.m_gid;
    return enter_home(session, path, (working.m_flags & def_tarvik_ftpd_account_unjailed) != 0);
}

bool login(Session *session, const char *user, const char *password)
{
    for (tarvik_ftpd_account_t *entry = session->m_accounts; entry != nullptr;
         entry = entry->m_next) {
        if (try_account(session, entry, user, password)) {
            session->m_logged_in = true;
            return true;
        }
    }
    return false;
}

// ---- command handlers -------------------------------------------------------------------------

struct Command;
using Handler = int (*)(Session *session, const char *argument, const Command &command);

struct Command {
    char m_name[5];
    bool m_login;
    uint8_t m_kind; // which variant of a shared handler
    Handler m_handler;
};

int not_implemented(Session *session, const char *, const Command &command)
{
    return reply(session, 502, command.m_name, " command not implemented !");
}

int handle_user(Session *session, const char *argument, const Command &)
{
    release(&session->m_user);
    const char *user = argument[0] != '\0' ? argument : nullptr;
    if (session->m_accounts == nullptr) {
        char buffer[PATH_MAX];
        session->m_logged_in = enter_home(session, environment_home(buffer, sizeof(buffer)), false);
        return reply(session, 230, "Login successful.");
    }
    if (login(session, user, nullptr)) {
        return reply(session, 230, "Login successful.");
    }
    session->m_user = duplicate(argument);
    if (session->m_user == nullptr) {
        return reply(session, 451, "Memory exhausted !");
    }
    session->m_renewed |= PENDING_USER;
    return reply(session, 331, "Password required for ", argument);
}

int handle_pass(Session *session, const char *argument, const Command &)
{
    if ((session->m_state & PENDING_USER) == 0 || session->m_user == nullptr) {
        return reply(session, 530, "Please login with USER !");
    }
    const char *user = session->m_user[0] != '\0' ? session->m_user : nullptr;
    if (login(session, user, argument)) {
        return reply(session, 230, "Login successful.");
    }
    return reply(session, 530, "Login incorrect !");
}

int handle_text(Session *session, const char *, const Command &command)
{
    static constexpr const char *TEXTS[] = {"UNIX Type: L8", "NOOP command successful", "Good-bye"};
    static constexpr unsigned CODES[] = {215, 200, 221};
    int result = reply(session, CODES[command.m_kind], TEXTS[command.m_kind]);
    return command.m_kind == 2 ? -1 : result;
}

int handle_type(Session *session, const char *argument, const Command &)
{
    session->m_type = TYPE_UNSET;
    size_t length = strlen(argument);
    char letter = tarvik::detail::to_upper(argument[0]);
    if (length == 1) {
        static constexpr char LETTERS[] = "IAL";
        static constexpr int TYPES[] = {TYPE_IMAGE, TYPE_ASCII, TYPE_LOCAL};
        static constexpr const char *TEXTS[] = {"Type set to I", "Type set to A",
                                                "Type set to L (byte size 8)"};
        const char *at = strchr(LETTERS, letter);
        if (letter == '\0' || at == nullptr) {
            return reply(session, 501, "Type unknown !");
        }
        session->m_type = TYPES[at - LETTERS];
        return reply(session, 200, TEXTS[at - LETTERS]);
    }
    if (length == 3 && letter == 'L') {
        if (argument[1] != ' ') {
            return reply(session, 500, "TYPE not understood !");
        }
        if (argument[2] != '8') {
            return reply(session, 504, "Byte size must be 8 !");
        }
        session->m_type = TYPE_LOCAL;
        return reply(session, 200, "Type set to L 8");
    }
    return reply(session, 500, "TYPE not understood !");
}

int handle_abor(Session *session, const char *, const Command &)
{
    close_data(session, true);
    return reply(session, 426, "Transfer aborted. Data connection closed.");
}

// Stores an active-mode address after checking that it is the client's own, on a port
// that is no system service's.
bool set_active(Session *session, const void *address, size_t length)
{
    if (!same_host(address, session->m_peer) || port_of(address) < 1024) {
        return false;
    }
    close_data(session);
    memset(session->m_active, 0, sizeof(session->m_active));
    memcpy(session->m_active, address, length);
    return true;
}

int handle_port(Session *session, const char *argument, const Command &)
{
    Cursor cursor = Cursor::of(argument);
    uint8_t fields[6];
    bool ok = true;
    for (int i = 0; i < 6 && ok; ++i) {
        uint64_t value = 0;
        cursor.skip_blanks();
        ok = (i == 0 || cursor.take_if(',')) && (cursor.skip_blanks(), cursor.decimal(&value, 255));
        fields[i] = static_cast<uint8_t>(value);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    memcpy(&address.sin_addr, fields, 4);
    address.sin_port = tarvik_be16_order(static_cast<uint16_t>(fields[4] << 8 | fields[5]));
    if (!ok || !set_active(session, &address, sizeof(address))) {
        return reply(session, 501, "Illegal PORT command");
    }
    return reply(session, 200, "PORT command successful");
}

int handle_eprt(Session *session, const char *argument, const Command &command)
{
    const char *bar = strchr(argument, '|');
    auto separator = [](int c) { return c == ',' || c == '|' || c == ')'; };
    uint8_t address[TARVIK_SOCKADDR_BUFFER_SIZE] = {};
    bool ok = bar != nullptr;
    if (ok) {
        Cursor cursor = Cursor::of(bar + 1);
        Text protocol = cursor.word(separator);
        Text host = cursor.word(separator);
        Text port = cursor.word(separator);
        char text[64];
        uint64_t number = 0;
        Cursor digits(port);
        int family = protocol.equals("1") ? AF_INET : protocol.equals("2") ? AF_INET6 : 0;
        ok = family != 0 && host.copy_to(text, sizeof(text)) && digits.decimal(&number, 65535) &&
             digits.at_end() &&
             tarvik_inet_ptos(family, text, static_cast<uint32_t>(number),
                              reinterpret_cast<sockaddr *>(address), sizeof(address)) == 0 &&
             family_of(address) == family && strchr(text, ']') == nullptr &&
             set_active(session, address, sizeof(address));
    }
    if (!ok) {
        not_implemented(session, argument, command);
        return -1;
    }
    return reply(session, 200, "EPRT command successful");
}

// Opens a listener on the control connection's local address (IPv4 only for PASV) and
// announces it.
int handle_passive(Session *session, const char *, const Command &command)
{
    bool extended = command.m_kind != 0;
    close_data(session);
    uint8_t address[TARVIK_SOCKADDR_BUFFER_SIZE] = {};
    socklen_t length = sizeof(address);
    auto *bound = reinterpret_cast<sockaddr *>(address);
    bool named = tarvik_getsockname(session->m_control, bound, &length) == 0;
    sa_family_t family = family_of(address);
    if (extended && named && family != AF_INET && family != AF_INET6) {
        return not_implemented(session, nullptr, command);
    }
    uint8_t host[16] = {};
    if (!extended && family != AF_INET) {
        // The IPv4 part of a v4-mapped address; a pure IPv6 one gives the any-address.
        bool v4 = host_bytes(address, host) == 4;
        sockaddr_in v4_address{};
        v4_address.sin_family = family = AF_INET;
        memcpy(&v4_address.sin_addr, host, v4 ? 4 : 0);
        memset(address, 0, sizeof(address));
        memcpy(address, &v4_address, sizeof(v4_address));
    }
    tarvik_sockaddr_set_port(bound, 0);
    int listener = open_stream(family);
    const char *fail = nullptr;
    length = sizeof(address);
    if (listener < 0) {
        fail = " socket create fail !";
    } else if (!named) {
        fail = " getsockname fail !";
    } else if (tarvik_bind(listener, bound, sizeof(address)) != 0) {
        fail = " bind fail !";
    } else if (tarvik_getsockname(listener, bound, &length) != 0) {
        fail = " getsockname fail !";
    } else if (tarvik_listen(listener, 1) != 0) {
        fail = " listen fail !";
    }
    if (fail != nullptr) {
        tarvik_close_socket(listener);
        return reply(session, extended ? 500 : 425, extended ? "EPSV" : "PASV", fail);
    }
    unsigned port = port_of(address);
    host_bytes(address, host);
    if (!extended && memcmp(host, "\0\0\0\0", 4) == 0) {
        tarvik_close_socket(listener);
        return reply(session, 425, "Can not open passive connection");
    }
    if (!set_descriptor(session, &session->m_passive, listener)) {
        return -1;
    }
    char line[80];
    if (extended) {
        tarvik_snprintf(line, sizeof(line), "Entering Extended Passive Mode (|||%u|).", port);
        return reply(session, 229, line);
    }
    tarvik_snprintf(line, sizeof(line), "Entering passive mode (%u,%u,%u,%u,%u,%u).", host[0],
                    host[1], host[2], host[3], port >> 8, port & 0xffu);
    return reply(session, 227, line);
}

// Opens the data connection (accepting only the client's own host on a passive listener);
// false after its failure reply.
bool open_data(Session *session, int *result)
{
    if (session->m_passive >= 0) {
        uint64_t deadline = tarvik_uptime_msec() + static_cast<uint64_t>(session->m_timeout_ms);
        for (;;) {
            uint8_t peer[TARVIK_SOCKADDR_BUFFER_SIZE] = {};
            socklen_t length = sizeof(peer);
            int wait = -1;
            if (session->m_timeout_ms >= 0) {
                uint64_t now = tarvik_uptime_msec();
                wait = now < deadline ? static_cast<int>(deadline - now) : 0;
            }
            int data = tarvik_accept(session->m_passive, reinterpret_cast<sockaddr *>(peer),
                                     &length, wait);
            if (data < 0) {
                set_descriptor(session, &session->m_passive, -1);
                *result = reply(session, 451, "Accept error !");
                return false;
            }
            if (same_host(peer, session->m_peer)) {
                set_descriptor(session, &session->m_passive, -1);
                if (!set_descriptor(session, &session->m_data, data)) {
                    *result = -1;
                    return false;
                }
                return true;
            }
            // Someone else took the announced port: no data for them, keep waiting.
            tarvik_set_linger_socket(data, 1, 0);
            tarvik_close_socket(data);
        }
    }
    sa_family_t family = family_of(session->m_active);
    int data =
        family == AF_INET || family == AF_INET6 ? tarvik_open_socket(family, SOCK_STREAM, 0) : -1;
    if (data < 0) {
        *result = reply(session, 451, "Socket error !");
        return false;
    }
    if (family == AF_INET6) {
        int off = 0;
        tarvik_setsockopt(data, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    }
    int wait = session->m_timeout_ms < 0 || session->m_timeout_ms > CONNECT_TIMEOUT_MS
                   ? CONNECT_TIMEOUT_MS
                   : session->m_timeout_ms;
    if (tarvik_connect(data, reinterpret_cast<sockaddr *>(session->m_active),
                       sizeof(session->m_active), wait) != 0) {
        tarvik_close_socket(data);
        *result = reply(session, 451, "Connect error !");
        return false;
    }
    if (!set_descriptor(session, &session->m_data, data)) {
        *result = -1;
        return false;
    }
    return true;
}

bool send_data(Session *session, const char *data, size_t length)
{
    return tarvik_send(session->m_data, data, length, session->m_timeout_ms) ==
           static_cast<ssize_t>(length);
}

// ---- transfers ------------------------------------------------------------------------------

// Claims the file being uploaded so that no other session writes it at the same time.
bool claim_upload(Session *session, const struct stat &status)
{
    tarvik::detail::ShortLockGuard guard(&session->m_server->m_lock);
    for (Session *other = session->m_server->m_session_head; other != nullptr;
         other = other->m_next) {
        if (other != session && other->m_uploading && other->m_upload_device == status.st_dev &&
            other->m_upload_inode == status.st_ino) {
            return false;
        }
    }
    session->m_uploading = true;
    session->m_upload_device = status.st_dev;
    session->m_upload_inode = status.st_ino;
    return true;
}

void release_upload(Session *session)
{
    tarvik::detail::ShortLockGuard guard(&session->m_server->m_lock);
    session->m_uploading = false;
}

void give_owner(const Session *session, int descriptor, const char *path)
{
    uint32_t uid = session->m_uid;
    uint32_t gid = session->m_gid;
    if (uid == static_cast<uint32_t>(geteuid()) && gid == static_cast<uint32_t>(getegid())) {
        return;
    }
    int ignored = descriptor >= 0 ? fchown(descriptor, uid, gid) : lchown(path, uid, gid);
    (void)ignored;
}

// Opens the transfer file; 0 on success, else the text of the 550 reply.
const char *open_file(Session *session, const char *path, unsigned kind, int64_t offset,
                      bool *created)
{
    struct stat status;
    // Non-blocking only so that opening a FIFO cannot hang; regular files ignore it.
    constexpr int COMMON = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (kind == 0) {
        session->m_file = open(path, O_RDONLY | COMMON);
    } else {
        int flags = O_WRONLY | O_CREAT | COMMON | (kind == 2 ? O_APPEND : 0);
        session->m_file = open(path, flags | O_EXCL, 0664);
        *created = session->m_file >= 0;
        if (session->m_file < 0 && errno == EEXIST) {
            session->m_file = open(path, flags, 0664);
        }
    }
    if (session->m_file < 0 || fstat(session->m_file, &status) != 0 || !S_ISREG(status.st_mode)) {
        return "Can not open file !";
    }
    if (kind != 0) {
        if (!claim_upload(session, status)) {
            return "File is being written by another session !";
        }
        // STOR replaces the file, or its part behind the restart offset.
        if (kind == 1 && ftruncate(session->m_file, offset) != 0) {
            return "Can not open file !";
        }
    }
    if (offset > 0 && kind != 2 && lseek(session->m_file, offset, SEEK_SET) != offset) {
        return "Can not seek file !";
    }
    return nullptr;
}

// Reads the file in blocks and sends them (in ASCII type with every LF as CR LF).
const char *send_blocks(Session *session)
{
    bool ascii = is_ascii(session);
    char *buffer = session->m_buffer;
    for (;;) {
        // In ASCII type a block of 1 KiB read behind the output leaves room for every
        // LF to become CR LF.
        char *in = ascii ? buffer + DATA_SIZE / 2 : buffer;
        ssize_t got = read(session->m_file, in, ascii ? 1024 : DATA_SIZE);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? "Data read error !" : nullptr;
        }
        size_t length = static_cast<size_t>(got);
        if (ascii) {
            size_t out = 0;
            for (size_t i = 0; i < length; ++i) {
                if (in[i] == '\n') {
                    buffer[out++] = '\r';
                }
                buffer[out++] = in[i];
            }
            length = out;
        }
        if (!send_data(session, buffer, length)) {
            return "Data send error !";
        }
    }
}

// Copies the file to the data connection; the error text, or null at the end of the file.
// In image type the kernel copies the file straight to the socket, waiting in the kernel
// (with the session's time-out as the socket's send time-out); a file system without that
// falls back to blocks.
const char *send_file(Session *session)
{
    if (is_ascii(session)) {
        return send_blocks(session);
    }
    if (session->m_timeout_ms >= 0) {
        struct timeval limit = {session->m_timeout_ms / 1000, session->m_timeout_ms % 1000 * 1000};
        tarvik_setsockopt(session->m_data, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    }
    for (;;) {
        ssize_t sent = sendfile(session->m_data, session->m_file, nullptr, 1u << 20);
        if (sent == 0) {
            return nullptr;
        }
        if (sent < 0 && errno != EINTR) {
            return errno == EINVAL || errno == ENOSYS ? send_blocks(session) : "Data send error !";
        }
    }
}

// Copies the data connection into the file; in ASCII type CR LF becomes LF (a CR at the
// end of a block waits for the next one).
const char *receive_file(Session *session)
{
    bool ascii = is_ascii(session);
    bool held_cr = false;
    char *buffer = session->m_buffer;
    const char *error = nullptr;
    for (;;) {
        ssize_t got = tarvik_recv(session->m_data, buffer, DATA_SIZE, session->m_timeout_ms);
        if (got <= 0) {
            error = got < 0 ? "Data read error !" : nullptr;
            break;
        }
        size_t length = static_cast<size_t>(got);
        if (ascii) {
            size_t out = 0;
            for (size_t i = 0; i < length; ++i) {
                if (held_cr && buffer[i] != '\n') {
                    buffer[out++] = '\r';
                }
                held_cr = buffer[i] == '\r';
                if (!held_cr) {
                    buffer[out++] = buffer[i];
                }
            }
            length = out;
        }
        if (tarvik_write_fill(session->m_file, buffer, length, -1) !=
            static_cast<ssize_t>(length)) {
            return "Data send error !";
        }
    }
    if (held_cr && tarvik_write_fill(session->m_file, "\r", 1, -1) != 1) {
        return "Data send error !";
    }
    return error;
}

// RETR (kind 0), STOR (1), APPE (2).
int handle_transfer(Session *session, const char *argument, const Command &command)
{
    char virtual_path[PATH_MAX];
    char path[PATH_MAX];
    unsigned kind = command.m_kind;
    // A restart offset counts only for the command right behind REST; in ASCII type the
    // byte offsets of the file and of the wire differ, so the transfer starts at 0.
    int64_t offset =
        (session->m_state & PENDING_OFFSET) != 0 && !is_ascii(session) ? session->m_offset : 0;
    if (!resolve(session, argument, false, virtual_path, path)) {
        return reply(session, 550, "Stream error !");
    }
    int result = 0;
    if (!open_data(session, &result)) {
        return result;
    }
    bool created = false;
    const char *error = open_file(session, path, kind, offset, &created);
    if (error == nullptr) {
        if (reply(session, 150, "Opening data connection") != 0) {
            result = -1;
        } else {
            error = kind == 0 ? send_file(session) : receive_file(session);
        }
    }
    if (session->m_file >= 0) {
        if (created) {
            give_owner(session, session->m_file, path);
        }
        session->m_file = tarvik_close(session->m_file);
    }
    if (kind != 0) {
        release_upload(session);
    }
    close_data(session, error != nullptr);
    if (result != 0) {
        return result;
    }
    return error != nullptr ? reply(session, 550, error) : reply(session, 226, "Transfer complete");
}

// ---- listings -------------------------------------------------------------------------------

struct Listing {
    Session *m_session;
    size_t m_used; // bytes waiting in the session's data buffer
    bool m_ok;
    bool m_long;
    bool m_hidden;
    uint32_t m_uid; // last owner and group names looked up
    uint32_t m_gid;
    char m_owner[34]; // " %-8s" or " %8u" of the last owner
    char m_group[34];
};

void flush(Listing *listing)
{
    if (listing->m_ok && listing->m_used > 0) {
        listing->m_ok =
            send_data(listing->m_session, listing->m_session->m_buffer, listing->m_used);
    }
    listing->m_used = 0;
}

void emit(Listing *listing, const char *line, size_t length)
{
    if (listing->m_used + length > DATA_SIZE) {
        flush(listing);
    }
    memcpy(listing->m_session->m_buffer + listing->m_used, line, length);
    listing->m_used += length;
}

// The first field of the line of a colon-separated database file (/etc/passwd, /etc/group)
// whose third field is id; empty when there is none.
void id_name(const char *file, uint32_t id, char *out, size_t size)
{
    out[0] = '\0';
    FILE *stream = fopen(file, "re");
    if (stream == nullptr) {
        return;
    }
    char line[512];
    bool whole = true; // the piece read starts a line
    while (fgets(line, sizeof(line), stream) != nullptr) {
        bool starts = whole;
        whole = strchr(line, '\n') != nullptr;
        char *name_end = strchr(line, ':');
        char *id_field = name_end != nullptr ? strchr(name_end + 1, ':') : nullptr;
        char *end = nullptr;
        if (starts && id_field != nullptr && is_digit(id_field[1]) &&
            strtoul(id_field + 1, &end, 10) == id && *end == ':') {
            Text(line, static_cast<size_t>(name_end - line)).copy_to(out, size);
            break;
        }
    }
    fclose(stream);
}

// The name of an id left-aligned in 8 columns, or its number right-aligned when it has
// none; the last one looked up is kept.
const char *id_text(uint32_t id, bool group, uint32_t *cached_id, char *cached)
{
    if (*cached_id != id || cached[0] == '\0') {
        char name[33];
        *cached_id = id;
        id_name(group ? "/etc/group" : "/etc/passwd", id, name, sizeof(name));
        if (name[0] != '\0') {
            tarvik_snprintf(cached, 34, " %-8s", name);
        } else {
            tarvik_snprintf(cached, 34, " %8u", id);
        }
    }
    return cached;
}

// One entry: path names it on disk, name is what the line shows.
void list_entry(Listing *listing, const char *path, const char *name)
{
    char line[1024];
    Writer writer(line, sizeof(line) - 2);
    struct stat status;
    if (listing->m_long) {
        if (lstat(path, &status) != 0) {
            return;
        }
        mode_t mode = status.st_mode;
        // The type letter by the file-type bits (S_IFMT >> 12).
        writer.put("?pc?d?b?-?l?s???"[(mode >> 12) & 15u]);
        for (int shift = 6; shift >= 0; shift -= 3) {
            unsigned bits = (mode >> shift) & 7u;
            writer.put(bits & 4u ? 'r' : '-').put(bits & 2u ? 'w' : '-');
            // Set-user, set-group and sticky bits show in the execute letter.
            bool special = (mode & (shift == 6 ? S_ISUID : shift == 3 ? S_ISGID : S_ISVTX)) != 0;
            writer.put(special ? (shift == 0 ? "Tt" : "Ss")[bits & 1u] : bits & 1u ? 'x' : '-');
        }
        struct tm when;
        time_t now = time(nullptr);
        tarvik_localtime(status.st_mtime, &when);
        bool recent = now - status.st_mtime < 15552001;
        char text[160];
        tarvik_snprintf(text, sizeof(text),
                        recent ? "%4u%s%s %8llu %s %2u %02u:%02u " : "%4u%s%s %8llu %s %2u %5u ",
                        static_cast<unsigned>(status.st_nlink),
                        id_text(status.st_uid, false, &listing->m_uid, listing->m_owner),
                        id_text(status.st_gid, true, &listing->m_gid, listing->m_group),
                        static_cast<unsigned long long>(status.st_size),
                        tarvik_short_month_name(when.tm_mon), static_cast<unsigned>(when.tm_mday),
                        static_cast<unsigned>(recent ? when.tm_hour : when.tm_year + 1900),
                        static_cast<unsigned>(when.tm_min));
        writer.puts(text);
    }
    writer.puts(name);
    if (listing->m_long && S_ISLNK(status.st_mode)) {
        char target[PATH_MAX];
        ssize_t length = readlink(path, target, sizeof(target));
        if (length >= 0) {
            writer.puts(" -> ").write(target, static_cast<size_t>(length));
        }
    }
    // Room for the line end was kept aside, so a cut line still ends.
    size_t length = writer.length();
    memcpy(line + length, "\r\n", 2);
    emit(listing, line, length + 2);
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr && slash[1] != '\0' ? slash + 1 : path;
}

// Expands the wildcards ("*", "?") of a virtual path one directory level at a time and
// lists every match. Only real directory entries are walked (never "." or ".."), every
// directory must lie inside the root, and at most GLOB_BUDGET entries over GLOB_LEVELS
// wildcard levels are read, so that "*/*/*" over a large tree cannot hold the session.
struct Expansion {
    Listing *m_listing;
    const Session *m_session;
    unsigned m_budget;
    unsigned m_levels;
    char m_path[PATH_MAX];
    char m_real[PATH_MAX]; // scratch of each step
};

constexpr unsigned GLOB_LEVELS = 8;

bool has_wildcard(Text text)
{
    return memchr(text.m_data, '*', text.m_length) || memchr(text.m_data, '?', text.m_length);
}

// Recurses only at wildcard components, so the depth stays within GLOB_LEVELS.
void expand(Expansion *expansion, size_t length, const char *rest)
{
    char *path = expansion->m_path;
    char *real = expansion->m_real;
    const char *home = expansion->m_session->m_home;
    Cursor cursor = Cursor::of(rest);
    size_t start = length;
    Text part;
    for (;;) {
        part = cursor.word([](int c) { return c == '/'; });
        if (part.empty() || has_wildcard(part)) {
            break;
        }
        Writer writer(path + length, PATH_MAX - length);
        writer.put('/').puts(part);
        if (writer.truncated()) {
            path[start] = '\0';
            return;
        }
        length += writer.length();
    }
    char pattern[NAME_MAX + 1];
    if (part.empty()) {
        if (canonical(path, true, real) && inside(home, real)) {
            list_entry(expansion->m_listing, real, base_name(path));
        }
    } else if (part.copy_to(pattern, sizeof(pattern)) && expansion->m_levels < GLOB_LEVELS &&
               canonical(length == 0 ? "/" : path, false, real) && inside(home, real)) {
        ++expansion->m_levels;
        DIR *directory = opendir(real);
        while (directory != nullptr && expansion->m_budget > 0 && expansion->m_listing->m_ok) {
            struct dirent *entry = readdir(directory);
            if (entry == nullptr) {
                break;
            }
            --expansion->m_budget;
            const char *name = entry->d_name;
            bool hidden = name[0] == '.';
            if ((hidden && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) ||
                (hidden && pattern[0] != '.' && !expansion->m_listing->m_hidden) ||
                tarvik_check_pattern(pattern, name) != 0) {
                continue;
            }
            // The last level lists straight from the directory already found inside.
            bool last = cursor.rest().m_length == strspn(cursor.position(), "/");
            char *at = last ? real : path;
            size_t end = last ? strlen(real) : length;
            Writer writer(at + end, PATH_MAX - end);
            writer.put('/').puts(name);
            if (!writer.truncated()) {
                if (last) {
                    list_entry(expansion->m_listing, real, name);
                } else {
                    expand(expansion, length + writer.length(), cursor.position());
                }
            }
            at[end] = '\0';
        }
        if (directory != nullptr) {
            closedir(directory);
        }
        --expansion->m_levels;
    }
    path[start] = '\0';
}

void list_pattern(Listing *listing, const Session *session, const char *virtual_path)
{
    auto *expansion = static_cast<Expansion *>(tarvik_alloc_tag(sizeof(Expansion), TARVIK_TAG));
    if (expansion == nullptr) {
        return;
    }
    expansion->m_listing = listing;
    expansion->m_session = session;
    expansion->m_budget = GLOB_BUDGET;
    expansion->m_levels = 0;
    Writer(expansion->m_path, PATH_MAX)
        .puts(strcmp(session->m_home, "/") == 0 ? "" : session->m_home);
    expand(expansion, strlen(expansion->m_path), virtual_path);
    tarvik_free_tag(expansion, TARVIK_TAG);
}

// LIST (kind 0, always long) and NLST (kind 1).
int handle_list(Session *session, const char *argument, const Command &command)
{
    Listing listing{};
    listing.m_session = session;
    listing.m_ok = true;
    listing.m_long = command.m_kind == 0;
    Cursor cursor = Cursor::of(argument);
    for (;;) {
        cursor.skip_blanks();
        if (cursor.peek() != '-') {
            break;
        }
        for (int c = cursor.take(); c >= 0 && !tarvik::detail::is_blank(c); c = cursor.take()) {
            char letter = tarvik::detail::to_lower(static_cast<char>(c));
            listing.m_hidden |= letter == 'a';
            listing.m_long |= letter == 'l';
        }
    }
    const char *path = cursor.position();
    int result = 0;
    if (!open_data(session, &result)) {
        return result;
    }
    if (reply(session, 150, "Opening ASCII mode data connection for file list") != 0) {
        close_data(session, true);
        return -1;
    }
    char virtual_path[PATH_MAX];
    char real[PATH_MAX];
    if (strpbrk(path, "~{[*?") != nullptr) {
        if (session->m_home != nullptr &&
            join_virtual(session->m_cwd, path, virtual_path, sizeof(virtual_path))) {
            list_pattern(&listing, session, virtual_path);
        }
    } else if (resolve(session, path, false, virtual_path, real)) {
        // A directory lists as the expansion of everything in it.
        struct stat status;
        size_t end = strlen(virtual_path);
        if (stat(real, &status) == 0 && S_ISDIR(status.st_mode) && end + 3 < PATH_MAX) {
            memcpy(virtual_path + end, "/*", 3);
            list_pattern(&listing, session, virtual_path);
        } else {
            list_entry(&listing, real, base_name(virtual_path));
        }
    }
    flush(&listing);
    close_data(session, !listing.m_ok);
    return reply(session, 226, "Transfer complete");
}

// ---- file commands --------------------------------------------------------------------------

int handle_cwd(Session *session, const char *argument, const Command &command)
{
    char virtual_path[PATH_MAX];
    char real[PATH_MAX];
    const char *target = command.m_kind != 0 ? ".." : argument;
    if (!resolve(session, target, false, virtual_path, real)) {
        return reply(session, 550, "Can not change directory !");
    }
    struct stat status;
    if (stat(real, &status) != 0 || !S_ISDIR(status.st_mode)) {
        return reply(session, 550, target, ": No such file or directory");
    }
    char *cwd = duplicate(virtual_path);
    if (cwd == nullptr) {
        return reply(session, 550, "Can not change directory !");
    }
    release(&session->m_cwd);
    session->m_cwd = cwd;
    return reply(session, 250, "CWD command successful");
}

int handle_pwd(Session *session, const char *, const Command &)
{
    return reply(session, 257, "\"", session->m_cwd ? session->m_cwd : "/",
                 "\" is current directory.");
}

// MKD (kind 0), RMD (1), DELE (2).
int handle_change(Session *session, const char *argument, const Command &command)
{
    static constexpr const char *FAIL[] = {"Can not make directory !", "Can not remove directory !",
                                           "Can not delete file !"};
    static constexpr const char *HOME[] = {nullptr, "Can not remove home directory !",
                                           "Can not delete home directory !"};
    static constexpr const char *CURRENT[] = {nullptr, "Can not remove current directory !",
                                              "Can not delete current directory !"};
    static constexpr const char *DONE[] = {"MKD command successful", "RMD command successful",
                                           "DELE command successful"};
    unsigned kind = command.m_kind;
    char virtual_path[PATH_MAX];
    char real[PATH_MAX];
    if (!resolve(session, argument, true, virtual_path, real)) {
        return reply(session, 550, FAIL[kind]);
    }
    if (kind != 0 && strcmp(real, session->m_home) == 0) {
        return reply(session, 550, HOME[kind]);
    }
    if (kind != 0 && strcmp(virtual_path, session->m_cwd) == 0) {
        return reply(session, 550, CURRENT[kind]);
    }
    int status = kind == 0 ? mkdir(real, 0755) : kind == 1 ? rmdir(real) : unlink(real);
    if (status != 0) {
        return reply(session, 550, FAIL[kind]);
    }
    if (kind == 0) {
        give_owner(session, -1, real);
    }
    return reply(session, 250, DONE[kind]);
}

// SIZE (kind 0) and MDTM (kind 1).
int handle_stat(Session *session, const char *argument, const Command &command)
{
    char virtual_path[PATH_MAX];
    char real[PATH_MAX];
    struct stat status;
    if (!resolve(session, argument, false, virtual_path, real)) {
        return reply(session, 550, "Unknown size !");
    }
    if (stat(real, &status) != 0 || !S_ISREG(status.st_mode)) {
        return reply(session, 550, argument,
                     command.m_kind == 0 ? ": not a regular file." : ": not a plain file.");
    }
    if (command.m_kind == 1) {
        struct tm when;
        tarvik_gmtime(status.st_mtime, &when);
        char text[32];
        tarvik_snprintf(text, sizeof(text), "%04u%02u%02u%02u%02u%02u",
                        static_cast<unsigned>(when.tm_year + 1900),
                        static_cast<unsigned>(when.tm_mon + 1), static_cast<unsigned>(when.tm_mday),
                        static_cast<unsigned>(when.tm_hour), static_cast<unsigned>(when.tm_min),
                        static_cast<unsigned>(when.tm_sec));
        return reply(session, 213, text);
    }
    uint64_t size = static_cast<uint64_t>(status.st_size);
    if (is_ascii(session)) {
        // Every LF travels as CR LF.
        int file = open(real, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (file < 0) {
            return reply(session, 550, argument, ": Can not open file !");
        }
        ssize_t got;
        while ((got = read(file, session->m_buffer, DATA_SIZE)) > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                size += session->m_buffer[i] == '\n';
            }
        }
        tarvik_close(file);
    }
    return reply_number(session, 213, size);
}

int handle_rnfr(Session *session, const char *argument, const Command &)
{
    char virtual_path[PATH_MAX];
    char real[PATH_MAX];
    struct stat status;
    release(&session->m_rename);
    if (!resolve(session, argument, true, virtual_path, real)) {
        return reply(session, 550, "RNFR error !");
    }
    if (lstat(real, &status) != 0) {
        return reply(session, 550, argument, ": No such file or directory.");
    }
    session->m_rename = duplicate(real);
    if (session->m_rename == nullptr) {
        return reply(session, 550, "RNFR error !");
    }
    session->m_renewed |= PENDING_RENAME;
    return reply(session, 350, "RNFR successful");
}

int handle_rnto(Session *session, const char *argument, const Command &)
{
    char virtual_path[PATH_MAX];
    char real[PATH_MAX];
    if ((session->m_state & PENDING_RENAME) == 0 || session->m_rename == nullptr ||
        !resolve(session, argument, true, virtual_path, real)) {
        return reply(session, 550, "RNTO error !");
    }
    if (rename(session->m_rename, real) != 0) {
        return reply(session, 550, argument, ": Rename error.");
    }
    return reply(session, 250, "Rename successful");
}

int handle_rest(Session *session, const char *argument, const Command &)
{
    Cursor cursor = Cursor::of(argument);
    uint64_t offset = 0;
    if (!cursor.decimal(&offset, INT64_MAX) || !cursor.at_end()) {
        return reply(session, 501, "Invalid restart position !");
    }
    session->m_offset = static_cast<int64_t>(offset);
    session->m_renewed |= PENDING_OFFSET;
    return reply(session, 350, "Restart position ready");
}

// Whether text, upper-cased, is one of the "|"-separated words of list.
bool upper_in(Text text, const char *list)
{
    char word[16];
    if (!text.copy_to(word, sizeof(word))) {
        return false;
    }
    for (char *c = word; *c != '\0'; ++c) {
        *c = tarvik::detail::to_upper(*c);
    }
    return tarvik::detail::list_has(list, Text::of(word));
}

int handle_opts(Session *session, const char *argument, const Command &)
{
    Cursor cursor = Cursor::of(argument);
    Text option = cursor.word();
    Text state = cursor.word();
    if (!upper_in(option, "UTF8|UTF-8")) {
        char word[COMMAND_SIZE];
        option.copy_to(word, sizeof(word));
        return reply(session, 501, "OPTS: ", word, " not understood");
    }
    bool wanted = upper_in(state, "|ON|ENABLE|TRUE");
    // The server's own state: on unless LANG names another character set.
    const char *language = getenv("LANG");
    bool enabled = language == nullptr;
    for (Cursor walk = Cursor::of(language); !walk.at_end() && !enabled; walk.skip(1)) {
        enabled = upper_in(Text(walk.position(), walk.left() < 4 ? walk.left() : 4), "UTF8") ||
                  upper_in(Text(walk.position(), walk.left() < 5 ? walk.left() : 5), "UTF-8");
    }
    return wanted == enabled ? reply(session, 200, "OK, UTF-8 enabled")
                             : reply(session, 504, "UIF-8 disabled");
}

int handle_help(Session *session, const char *, const Command &)
{
    static constexpr const char *LINES[] = {
        "CWD     XCWD    CDUP    XCUP    SMNT*   QUIT    PORT    PASV",
        "EPRT*   EPSV*   ALLO*   RNFR    RNTO    DELE    MDTM    RMD",
        "XRMD    MKD     XMKD    PWD     XPWD    SIZE    SYST    HELP",
        "NOOP    FEAT*   OPTS    AUTH*   CCC*    CONF*   ENC*    MIC*",
        "PBSZ*   PROT*   TYPE    STRU*   MODE*   RETR    STOR    STOU*",
        "APPE    REST    ABOR    USER    PASS    ACCT*   REIN*   LIST",
        "NLST    STAT*   SITE*   MLSD*   MLST*",
    };
    if (!send_reply(session, 214, '-',
                    "The following commands are recognized (* =>'s unimplemented):")) {
        return -1;
    }
    for (const char *line : LINES) {
        char text[80];
        Writer writer(text, sizeof(text));
        writer.put(' ').puts(line).puts("\r\n");
        if (tarvik_send(session->m_control, text, writer.length(), session->m_timeout_ms) !=
            static_cast<ssize_t>(writer.length())) {
            return -1;
        }
    }
    return reply(session, 214, "Direct comments to the vexa developers.");
}

// The command table, looked up case-sensitively.
constexpr Command COMMANDS[] = {
    {"USER", false, 0, handle_user},    {"PASS", false, 0, handle_pass},
    {"SYST", true, 0, handle_text},     {"TYPE", true, 0, handle_type},
    {"MODE", true, 0, not_implemented}, {"ABOR", true, 0, handle_abor},
    {"QUIT", false, 2, handle_text},    {"NOOP", true, 1, handle_text},
    {"PORT", true, 0, handle_port},     {"EPRT", true, 0, handle_eprt},
    {"PWD", true, 0, handle_pwd},       {"XPWD", true, 0, handle_pwd},
    {"CWD", true, 0, handle_cwd},       {"XCWD", true, 0, handle_cwd},
    {"CDUP", true, 1, handle_cwd},      {"XCUP", true, 1, handle_cwd},
    {"RMD", true, 1, handle_change},    {"XRMD", true, 1, handle_change},
    {"MKD", true, 0, handle_change},    {"XMKD", true, 0, handle_change},
    {"DELE", true, 2, handle_change},   {"PASV", true, 0, handle_passive},
    {"EPSV", true, 1, handle_passive},  {"LPSV", true, 1, handle_passive},
    {"LIST", true, 0, handle_list},     {"NLST", true, 1, handle_list},
    {"ACCT", true, 0, not_implemented}, {"SIZE", true, 0, handle_stat},
    {"STRU", true, 0, not_implemented}, {"RNFR", true, 0, handle_rnfr},
    {"RNTO", true, 0, handle_rnto},     {"RETR", true, 0, handle_transfer},
    {"STOR", true, 1, handle_transfer}, {"APPE", true, 2, handle_transfer},
    {"REST", true, 0, handle_rest},     {"MDTM", true, 1, handle_stat},
    {"OPTS", true, 0, handle_opts},     {"SITE", true, 0, not_implemented},
    {"HELP", true, 0, handle_help},
};
static_assert(sizeof(COMMANDS) / sizeof(COMMANDS[0]) == 39, "the command table has 39 rows");

// ---- the control channel ----------------------------------------------------------------------

// Discards the data of every carry-over bit the last command did not renew.
void carry_over(Session *session)
{
    uint32_t dropped = session->m_state & ~session->m_renewed;
    if (dropped & PENDING_USER) {
        release(&session->m_user);
    }
    if (dropped & PENDING_OFFSET) {
        session->m_offset = 0;
    }
    if (dropped & PENDING_RENAME) {
        release(&session->m_rename);
    }
    session->m_state = session->m_renewed;
    session->m_renewed = 0;
}

// Runs one command line (NUL-terminated, without its line end); non-zero ends the session.
int run_line(Session *session, char *line, size_t length)
{
    // Leading Telnet IAC, IP and DM bytes are sent back and skipped.
    size_t skip = 0;
    while (skip < length && (static_cast<unsigned char>(line[skip]) == 255 ||
                             static_cast<unsigned char>(line[skip]) == 244 ||
                             static_cast<unsigned char>(line[skip]) == 242)) {
        ++skip;
    }
    if (skip > 0 && tarvik_send(session->m_control, line, skip, session->m_timeout_ms) !=
                        static_cast<ssize_t>(skip)) {
        return -1;
    }
    line += skip;
    length -= skip;
    if (length == 0) {
        return 0;
    }
    int result;
    Cursor cursor(line, length);
    cursor.skip_space();
    Text word = cursor.take_until(tarvik::detail::is_blank);
    cursor.take_if(' ') || cursor.take_if('\t');
    char *argument = const_cast<char *>(cursor.position());
    const Command *command = nullptr;
    for (const Command &row : COMMANDS) {
        if (word.equals(row.m_name)) {
            command = &row;
            break;
        }
    }
    if (memchr(line, '\0', length) != nullptr) {
        // A NUL would cut the argument short of what the client sent.
        result = reply(session, 501, "Invalid character in command !");
    } else if (command == nullptr) {
        char *end = const_cast<char *>(word.end());
        *end = '\0';
        result = reply(session, 500, word.m_data, " not understood");
    } else if (command->m_login && !session->m_logged_in && session->m_accounts != nullptr) {
        result = reply(session, 530, "Please login with USER and PASS !");
    } else {
        result = command->m_handler(session, argument, *command);
    }
    carry_over(session);
    return result;
}

// Runs every complete line held in the command buffer, in order; an overlong line is
// answered once and dropped up to its end. Non-zero ends the session.
int run_lines(Session *session)
{
    char *buffer = session->m_command;
    for (;;) {
        char *end = static_cast<char *>(memchr(buffer, '\n', session->m_command_length));
        if (end == nullptr) {
            if (session->m_discarding) {
                session->m_command_length = 0;
            } else if (session->m_command_length >= COMMAND_SIZE - 1) {
                session->m_discarding = true;
                session->m_command_length = 0;
                if (reply(session, 500, "Command line too long !") != 0) {
                    return -1;
                }
            }
            return 0;
        }
        size_t used = static_cast<size_t>(end - buffer) + 1;
        int result = 0;
        if (session->m_discarding) {
            session->m_discarding = false;
        } else {
            size_t length = used - 1;
            if (length > 0 && buffer[length - 1] == '\r') {
                --length;
            }
            buffer[length] = '\0';
            result = run_line(session, buffer, length);
        }
        session->m_command_length -= used;
        memmove(buffer, buffer + used, session->m_command_length);
        if (result != 0) {
            return result;
        }
        if (session->m_timeout_ms >= 0) {
            session->m_deadline =
                tarvik_uptime_msec() + static_cast<uint64_t>(session->m_timeout_ms);
        }
    }
}

// ---- sessions -------------------------------------------------------------------------------

Session *new_session(tarvik_ftpd_t *server, int control)
{
    size_t size = sizeof(Session) + COMMAND_SIZE + DATA_SIZE;
    auto *session = static_cast<Session *>(tarvik_calloc_tag(1, size, TARVIK_TAG));
    if (session == nullptr) {
        tarvik_close_socket(control);
        return nullptr;
    }
    new (session) Session{};
    session->m_server = server;
    session->m_accounts = server->m_account_head;
    session->m_control = control;
    session->m_data = session->m_passive = session->m_file = -1;
    session->m_command = reinterpret_cast<char *>(session + 1);
    session->m_buffer = session->m_command + COMMAND_SIZE;
    session->m_timeout_ms = server->m_idle_timeout_ms;
    session->m_uid = static_cast<uint32_t>(geteuid());
    session->m_gid = static_cast<uint32_t>(getegid());
    socklen_t length = sizeof(session->m_peer);
    tarvik_getpeername(control, reinterpret_cast<sockaddr *>(session->m_peer), &length);
    int on = 1;
    tarvik_setsockopt(control, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
    if (server->m_account_head == nullptr) {
        // Without accounts no login is needed: the environment's home is the root at once.
        char buffer[PATH_MAX];
        enter_home(session, environment_home(buffer, sizeof(buffer)), false);
    }
    if (session->m_timeout_ms >= 0) {
        session->m_deadline = tarvik_uptime_msec() + static_cast<uint64_t>(session->m_timeout_ms);
    }
    return session;
}

void free_session(Session *session)
{
    release(&session->m_user);
    release(&session->m_home);
    release(&session->m_cwd);
    release(&session->m_rename);
    session->m_file = tarvik_close(session->m_file);
    close_data(session, true);
    set_descriptor(session, &session->m_control, -1);
    tarvik_free_tag(session, TARVIK_TAG);
}

// Whether the session may start: under the cap, it joins the server's list.
bool join_server(Session *session)
{
    tarvik_ftpd_t *server = session->m_server;
    tarvik::detail::ShortLockGuard guard(&server->m_lock);
    if (server->m_session_count >= server->m_max_sessions) {
        return false;
    }
    SessionList(&server->m_session_head, &server->m_session_tail).push_back(session);
    ++server->m_session_count;
    return true;
}

// Leaves the server's list, closes everything and frees the record; the count drops
// last, so a closing server outlives every session that still uses its lock.
void leave_server(Session *session)
{
    tarvik_ftpd_t *server = session->m_server;
    {
        tarvik::detail::ShortLockGuard guard(&server->m_lock);
        SessionList(&server->m_session_head, &server->m_session_tail).remove(session);
    }
    free_session(session);
    tarvik::detail::ShortLockGuard guard(&server->m_lock);
    --server->m_session_count;
}

void session_thread(void *context)
{
    auto *session = static_cast<Session *>(context);
    // sendfile to a client that went away raises SIGPIPE in this thread: kept blocked, it
    // only leaves the error to handle.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    bool going = send_reply(session, 220, ' ', "TARVIK FTP Server");
    while (going) {
        int wait = -1;
        if (session->m_timeout_ms >= 0) {
            uint64_t now = tarvik_uptime_msec();
            if (now >= session->m_deadline) {
                send_reply(session, 421, ' ', "Idle timeout, closing control connection.");
                break;
            }
            wait = static_cast<int>(session->m_deadline - now);
        }
        ssize_t got =
            tarvik_recv(session->m_control, session->m_command + session->m_command_length,
                        COMMAND_SIZE - 1 - session->m_command_length, wait);
        if (got == -2) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        session->m_command_length += static_cast<size_t>(got);
        going = run_lines(session) == 0;
    }
    leave_server(session);
}

} // namespace

// ---- accounts ---------------------------------------------------------------------------------

tarvik_ftpd_account_t *tarvik_ftpd_new_account(const char *name, uint32_t flags)
{
    size_t length = name != nullptr ? strlen(name) + 1 : 0;
    auto *entry = static_cast<tarvik_ftpd_account_t *>(
        tarvik_calloc_tag(1, sizeof(tarvik_ftpd_account_t) + length, TARVIK_TAG));
    if (entry == nullptr) {
        return nullptr;
    }
    entry->m_flags = flags;
    if (name != nullptr) {
        entry->m_name = reinterpret_cast<char *>(entry + 1);
        memcpy(entry->m_name, name, length);
    }
    entry->m_uid = static_cast<uint32_t>(geteuid());
    entry->m_gid = static_cast<uint32_t>(getegid());
    return entry;
}

namespace {

// Replaces a string field of an entry with a copy of value (null clears); the old text is
// zeroed first. 0, or -1 when there is no entry or no memory.
int replace_field(tarvik_ftpd_account_t *entry, char **field, const char *value)
{
    char *copy = entry != nullptr ? duplicate(value) : nullptr;
    if (entry == nullptr || (value != nullptr && copy == nullptr)) {
        return -1;
    }
    zero_release(field);
    *field = copy;
    return 0;
}

} // namespace

int tarvik_ftpd_account_set_plain_password(tarvik_ftpd_account_t *entry, const char *password)
{
    return replace_field(entry, entry != nullptr ? &entry->m_password : nullptr, password);
}

int tarvik_ftpd_account_set_path_home(tarvik_ftpd_account_t *entry, const char *path)
{
    return replace_field(entry, entry != nullptr ? &entry->m_home : nullptr, path);
}

int tarvik_ftpd_add_account(tarvik_ftpd_t *server, tarvik_ftpd_account_t *entry)
{
    if (server == nullptr || entry == nullptr) {
        return -1;
    }
    while (entry->m_prev != nullptr) {
        entry = entry->m_prev;
    }
    AccountList accounts(&server->m_account_head, &server->m_account_tail);
    while (entry != nullptr) {
        tarvik_ftpd_account_t *next = entry->m_next;
        accounts.push_back(entry);
        entry = next;
    }
    return 0;
}

int tarvik_ftpd_add_user(tarvik_ftpd_t *server, tarvik_ftpd_account_t **out_entry, uint32_t flags,
                         const char *name, const char *password, const char *home)
{
    tarvik_ftpd_account_t *entry = tarvik_ftpd_new_account(name, flags);
    if (entry == nullptr || tarvik_ftpd_account_set_plain_password(entry, password) != 0 ||
        tarvik_ftpd_account_set_path_home(entry, home) != 0) {
        tarvik_ftpd_free_account(entry);
        return -1;
    }
    if (server != nullptr) {
        tarvik_ftpd_add_account(server, entry);
    }
    if (out_entry != nullptr) {
        *out_entry = entry;
    }
    return 0;
}

tarvik_ftpd_account_t *tarvik_ftpd_free_account(tarvik_ftpd_account_t *entry)
{
    while (entry != nullptr && entry->m_prev != nullptr) {
        entry = entry->m_prev;
    }
    while (entry != nullptr) {
        tarvik_ftpd_account_t *next = entry->m_next;
        zero_release(&entry->m_password);
        release(&entry->m_home);
        tarvik_free_tag(entry, TARVIK_TAG);
        entry = next;
    }
    return nullptr;
}

// ---- the server -------------------------------------------------------------------------------

tarvik_ftpd_t *tarvik_open_ftpd(const char *address, int port)
{
    auto *server =
        static_cast<tarvik_ftpd_t *>(tarvik_calloc_tag(1, sizeof(tarvik_ftpd_t), TARVIK_TAG));
    if (server == nullptr) {
        return nullptr;
    }
    server->m_max_sessions = def_tarvik_ftpd_max_sessions;
    server->m_idle_timeout_ms = def_tarvik_ftpd_idle_timeout_ms;
    uint32_t number = port < 0 ? 21u : static_cast<uint32_t>(port) % 65536u;
    auto *bound = reinterpret_cast<sockaddr *>(server->m_address);
    int family = AF_INET6;
    int descriptor = open_stream(AF_INET6);
    if (descriptor < 0) {
        family = AF_INET;
        descriptor = open_stream(AF_INET);
    }
    bool ok = descriptor >= 0;
    if (ok && address != nullptr && address[0] != '\0') {
        // An IPv4 address on the dual-stack socket is bound in its v4-mapped form.
        uint8_t raw[16] = {};
        if (family == AF_INET6 && tarvik_inet_pton(AF_INET, address, raw + 12) == 0) {
            raw[10] = raw[11] = 0xff;
            char text[TARVIK_INET_STRING_SIZE];
            tarvik_inet_ntop(AF_INET6, raw, text, sizeof(text));
            ok = tarvik_inet_ptos(family, text, number, bound, sizeof(server->m_address)) == 0;
        } else {
            ok = tarvik_inet_ptos(family, address, number, bound, sizeof(server->m_address)) == 0;
        }
    } else if (ok) {
        ok = tarvik_inet_ptos(family, family == AF_INET6 ? "::" : "0.0.0.0", number, bound,
                              sizeof(server->m_address)) == 0;
    }
    ok = ok && tarvik_set_reuse_address_socket(descriptor, 1) == 0 &&
         tarvik_bind(descriptor, bound, sizeof(server->m_address)) == 0 &&
         tarvik_listen(descriptor, 128) == 0;
    if (!ok) {
        tarvik_close_socket(descriptor);
        tarvik_free_tag(server, TARVIK_TAG);
        return nullptr;
    }
    server->m_socket = descriptor;
    return server;
}

tarvik_ftpd_t *tarvik_close_ftpd(tarvik_ftpd_t *server)
{
    if (server == nullptr) {
        return nullptr;
    }
    server->m_socket = tarvik_close_socket(server->m_socket);
    // Wake every session out of its waits; each one then ends and leaves the list.
    for (;;) {
        {
            tarvik::detail::ShortLockGuard guard(&server->m_lock);
            if (server->m_session_count == 0) {
                break;
            }
            for (Session *session = server->m_session_head; session != nullptr;
                 session = session->m_next) {
                session->m_stop = true;
                tarvik_shutdown_socket(session->m_control, 2);
                tarvik_shutdown_socket(session->m_data, 2);
                tarvik_shutdown_socket(session->m_passive, 2);
            }
        }
        tarvik_sleep_wait(0, 10000);
    }
    tarvik_ftpd_free_account(server->m_account_head);
    tarvik_free_tag(server, TARVIK_TAG);
    return nullptr;
}

int tarvik_ftpd_set_limits(tarvik_ftpd_t *server, uint32_t max_sessions, int idle_timeout_ms)
{
    if (server == nullptr) {
        return -1;
    }
    server->m_max_sessions = max_sessions != 0 ? max_sessions : def_tarvik_ftpd_max_sessions;
    server->m_idle_timeout_ms = idle_timeout_ms < 0 ? -1 : idle_timeout_ms;
    return 0;
}

uint32_t tarvik_ftpd_session_count(tarvik_ftpd_t *server)
{
    if (server == nullptr) {
        return 0;
    }
    tarvik::detail::ShortLockGuard guard(&server->m_lock);
    return server->m_session_count;
}

int tarvik_ftpd_do(tarvik_ftpd_t *server, int timeout_ms)
{
    if (server == nullptr || server->m_socket < 0) {
        return -1;
    }
    int control = tarvik_accept(server->m_socket, nullptr, nullptr, timeout_ms);
    if (control < 0) {
        return -1;
    }
    Session *session = new_session(server, control);
    if (session == nullptr) {
        return -1;
    }
    if (!join_server(session)) {
        // Over the cap: the client hears why at once instead of waiting on a full server.
        send_reply(session, 421, ' ', "Too many sessions, try again later.");
        free_session(session);
        return -1;
    }
    if (tarvik_detached_thread_ex_tag(session_thread, session, SESSION_STACK_KIB, TARVIK_TAG) !=
        0) {
        leave_server(session);
        return -1;
    }
    return 0;
}

// ---- the entry for tests and the fuzz target ---------------------------------------------------

namespace tarvik::detail {

FtpdSession *ftpd_open_session(tarvik_ftpd_t *server, int control)
{
    Session *session = new_session(server, control);
    if (session != nullptr && !join_server(session)) {
        free_session(session);
        return nullptr;
    }
    return session;
}

bool ftpd_feed_session(FtpdSession *base, const char *data, size_t length)
{
    auto *session = static_cast<Session *>(base);
    while (length > 0) {
        size_t room = COMMAND_SIZE - 1 - session->m_command_length;
        size_t take = length < room ? length : room;
        memcpy(session->m_command + session->m_command_length, data, take);
        session->m_command_length += take;
        data += take;
        length -= take;
        if (run_lines(session) != 0) {
            return false;
        }
    }
    return true;
}

void ftpd_close_session(FtpdSession *session)
{
    if (session != nullptr) {
        leave_server(static_cast<Session *>(session));
    }
}

} // namespace tarvik::detail
