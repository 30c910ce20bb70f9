#include "config/ini.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "config/ini_internal.h"
#include "common/oam_global.h"
#include "common/oam_print.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

// Plain zero-initialised storage only: the constructor below runs before
// main and before any other static object can be relied upon.
char g_ini_file_path[INI_PATH_LEN];
int32_t g_ini_file_path_read;
char g_ini_cust_file_path[INI_PATH_LEN];
pthread_mutex_t g_ini_mutex;

namespace {

struct ini_tag_header {
    int tag;
    std::string_view header;
};

constexpr std::array<ini_tag_header, 14> INI_TAG_HEADERS = {{
    {INI_TAG_HOST_WIFI_NORMAL, "[HOST_WIFI_NORMAL]"},
    {INI_TAG_HOST_GNSS_NORMAL, "[HOST_GNSS_NORMAL]"},
    {INI_TAG_HOST_BT_NORMAL, "[HOST_BT_NORMAL]"},
    {INI_TAG_HOST_FM_NORMAL, "[HOST_FM_NORMAL]"},
    {INI_TAG_HOST_PLAT, "[HOST_PLAT]"},
    {INI_TAG_HOST_VERSION, "[HOST_VERSION]"},
    {INI_TAG_HOST_WIFI_MAC, "[HOST_WIFI_MAC]"},
    {INI_TAG_HOST_COEXIST, "[HOST_COEXIST]"},
    {INI_TAG_DEVICE_WIFI, "[DEVICE_WIFI]"},
    {INI_TAG_DEVICE_GNSS, "[DEVICE_GNSS]"},
    {INI_TAG_DEVICE_BT, "[DEVICE_BT]"},
    {INI_TAG_DEVICE_FM, "[DEVICE_FM]"},
    {INI_TAG_DEVICE_BFG_PLAT, "[DEVICE_BFG_PLAT]"},
    {INI_TAG_HOST_IR, "[HOST_IR]"},
}};

// Everything from the first line holding this header on belongs to the
// device side of the file; no host section is searched beyond it.
constexpr const char *INI_DEVICE_SECTION_FENCE = "[DEVICE_BFG_PLAT]";

constexpr bool ini_is_skip_char(char c)
{
    return c == '#' || c == ' ' || c == '\r' || c == '\n';
}

// A full piece without a line end is only the head of an overlong line.
constexpr bool ini_piece_is_open(const char *line)
{
    size_t len = 0;
    for (; line[len] != '\0'; ++len) {
        if (line[len] == '\n' || line[len] == '\r') {
            return false;
        }
    }
    return len == INI_READ_BUF_LEN - 1;
}

// Moves past the end of the current line (LF, CR or CR LF).  Only the head
// of an overlong line is ever matched: its tail must not pass for a line of
// its own, or text deep inside a comment could be taken for a variable.
void ini_skip_line_rest(FILE *file)
{
    int c;
    while ((c = fgetc(file)) != EOF) {
        if (c == '\n') {
            return;
        }
        if (c == '\r') {
            int next = fgetc(file);
            if (next != '\n' && next != EOF) {
                (void)ungetc(next, file);
            }
            return;
        }
    }
}

void ini_mutex_unlock()
{
    if (pthread_mutex_unlock(&g_ini_mutex) != 0) {
        OAM_ERR("[%s:%d]pthread_mutex_unlock err!\n");
    }
}

}  // namespace

__attribute__((constructor)) void ini_module_init()
{
    OAM_INFO("[%s:%d]ini module init func\n");
    if (pthread_mutex_init(&g_ini_mutex, nullptr) != 0) {
        OAM_ERR("[%s:%d]ini mutex init failed\n");
    }
    init_ini_file_path();
}

__attribute__((destructor)) void ini_module_fini()
{
    OAM_INFO("[%s:%d]ini module fini func\n");
}

const char *get_ini_file_path()
{
    if (oam_flag_load(g_ini_file_path_read) == 1) {
        return g_ini_file_path;
    }

    FILE *node = fopen(OAM_INI_PATH_NODE, "r");
    if (node == nullptr) {
        OAM_ERR("[%s:%d]open %s failed:%s\n", OAM_INI_PATH_NODE, strerror(errno));
        return nullptr;
    }
    // One byte short of the buffer: whatever the driver publishes, the path
    // is a terminated string afterwards.
    size_t got = fread(g_ini_file_path, 1, INI_PATH_LEN - 1, node);
    if (got == 0) {
        OAM_ERR("[%s:%d]read %s failed:%s\n", OAM_INI_PATH_NODE, strerror(errno));
        fclose(node);
        return nullptr;
    }
    g_ini_file_path[got] = '\0';
    fclose(node);
    oam_flag_store(g_ini_file_path_read, 1);
    return g_ini_file_path;
}

void init_ini_file_path()
{
    const char *published = get_ini_file_path();
    if (published == nullptr) {
        OAM_ERR("[%s:%d]read file node failed, get_ini_file_path return null!\n");
        return;
    }

    char local[INI_PATH_LEN] = {};
    int ret = memcpy_s(local, sizeof(local), published, INI_PATH_LEN - 1);
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memcpy_s failed ret=%d\n", ret);
    } else {
        ret = snprintf_s(g_ini_file_path, INI_PATH_LEN, INI_PATH_LEN - 1, "%s", local);
        if (ret < 0) {
            OAM_ERR("[%s:%d]init_ini_file_path:: snprintf_s failed, ret = %d\n", ret);
        }
    }

    ret = snprintf_s(g_ini_cust_file_path, INI_PATH_LEN, INI_PATH_LEN - 1, "%s", OAM_INI_CUST_FILE);
    if (ret < 0) {
        OAM_ERR("[%s:%d]init_ini_file_path:: snprintf_s failed, ret = %d\n", ret);
    }
}

FILE *ini_file_open(const char *path)
{
    FILE *file = fopen(path, "rt");
    if (file == nullptr) {
        OAM_ERR("[%s:%d]open file filed;errno:%s\n", strerror(errno));
    }
    return file;
}

void ini_file_close(FILE *file)
{
    if (fclose(file) != 0) {
        OAM_ERR("[%s:%d]close ini file failed;errno:%s\n", strerror(errno));
    }
}

int ini_file_seek(FILE *file, long offset)
{
    if (fseek(file, offset, SEEK_CUR) != 0) {
        OAM_ERR("[%s:%d]ini file seek failed;errno:%s\n", strerror(errno));
        return -1;
    }
    return 0;
}

int ini_readline_func(FILE *file, char *line)
{
    char piece[INI_LINE_BUF_LEN];
    int ret = memset_s(piece, sizeof(piece), 0, sizeof(piece));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }
    if (feof(file) != 0) {
        OAM_INFO("[%s:%d]have end of .ini file!!!\n");
        return -1;
    }
    if (fgets(piece, INI_READ_BUF_LEN, file) == nullptr) {
        OAM_INFO("[%s:%d]have end of .ini file!!!;errno:%s\n", strerror(errno));
        return -1;
    }
    ret = strncpy_s(line, INI_LINE_BUF_LEN, piece, INI_READ_BUF_LEN);
    if (ret != EOK) {
        OAM_ERR("[%s:%d]strncpy_s failed ret=%d\n", ret);
        return -1;
    }
    return 0;
}

// A piece may hold several lines when they are separated by a lone CR.
// After a piece that does not match, the file is put back right behind the
// first line end so that the next read starts with the following line.
int ini_check_str(FILE *file, const char *line, uint32_t limit, const char *target)
{
    if (file == nullptr || line == nullptr || target == nullptr || target[0] == '\0') {
        OAM_ERR("[%s:%d]check if puc_var is NULL or blank\n");
        return -1;
    }

    size_t taken = strnlen(line, limit);
    size_t end = 0;
    while (end < limit && line[end] != '\n' && line[end] != '\r' && line[end] != '\0') {
        ++end;
    }

    size_t target_len = strlen(target);
    if (!ini_is_skip_char(line[0]) && target_len <= end && strncmp(line, target, target_len) == 0) {
        return 0;
    }

    if (ini_piece_is_open(line)) {
        ini_skip_line_rest(file);
        return -1;
    }
    if (ini_file_seek(file, -static_cast<long>(taken)) != 0 ||
        ini_file_seek(file, static_cast<long>(end) + 1) != 0) {
        OAM_ERR("[%s:%d]file seek failed!!!\n");
        return -1;
    }
    // A CR LF pair is one line end.  Only a CR can start such a pair; a piece
    // without a line end has nothing behind its terminator to look at.
    if (end + 1 < limit && end + 1 <= INI_READ_BUF_LEN - 1 && line[end] == '\r' && line[end + 1] == '\n') {
        if (ini_file_seek(file, 1) != 0) {
            OAM_ERR("[%s:%d]file seek failed!!!\n");
        }
    }
    return -1;
}

int ini_find_modu(FILE *file, int tag)
{
    char header[INI_HEADER_LEN] = {};
    bool known = false;
    for (const auto &entry : INI_TAG_HEADERS) {
        if (entry.tag == tag) {
            int ret = strncpy_s(header, sizeof(header), entry.header.data(), entry.header.size());
            if (ret != EOK) {
                OAM_ERR("[%s:%d]strncpy_s failed ret=%d\n", ret);
            }
            known = true;
            break;
        }
    }
    if (!known) {
        OAM_ERR("[%s:%d]not suport tag type:%x!!!\n", tag);
    }

    char line[INI_LINE_BUF_LEN] = {};
    for (;;) {
        if (ini_readline_func(file, line) != 0) {
            OAM_INFO("[%s:%d]have end of .ini file!!!\n");
            return -1;
        }
        if (strstr(line, INI_DEVICE_SECTION_FENCE) != nullptr) {
            OAM_WARN("[%s:%d]not find %s!!!\n", header);
            return -1;
        }
        if (ini_check_str(file, line, INI_LINE_BUF_LEN, header) == 0) {
            if (ini_piece_is_open(line)) {
                ini_skip_line_rest(file);
            }
            return 0;
        }
    }
}

int ini_find_var(FILE *file, const char *puc_var, char *puc_value, uint32_t size)
{
    size_t name_len = strlen(puc_var);
    char line[INI_LINE_BUF_LEN] = {};
    for (;;) {
        if (ini_readline_func(file, line) != 0) {
            OAM_INFO("[%s:%d]have end of .ini file!!!\n");
            return -1;
        }
        if (line[0] == '[') {
            OAM_INFO("[%s:%d]not find %s!!!, check if var in correct mode\n", puc_var);
            return -1;
        }
        // A match guarantees that the name lies before the first line end, so
        // the character behind it is still inside the piece.
        if (ini_check_str(file, line, INI_LINE_BUF_LEN, puc_var) != 0) {
            continue;
        }
        if (line[name_len] != '=') {
            // A longer name: the rest of its line is no line of its own.
            if (ini_piece_is_open(line)) {
                ini_skip_line_rest(file);
            }
            continue;
        }
        int ret = strncpy_s(puc_value, size, &line[name_len + 1], size - 1);
        if (ret != EOK) {
            OAM_ERR("[%s:%d]strncpy_s failed ret=%d\n", ret);
            return -1;
        }
        return 0;
    }
}

int ini_check_value(char *puc_value)
{
    size_t len = strlen(puc_value);
    if (len < 2) {
        OAM_ERR("[%s:%d]ini_check_value fail, puc_value length %u < 2(min len)\n\n",
                  static_cast<unsigned>(len));
        return -1;
    }
    if (puc_value[0] == ' ' || puc_value[0] == '\r' || puc_value[0] == '\n' || puc_value[len - 1] == ' ') {
        OAM_WARN("[%s:%d]::%s has blank space or is blank::\n", puc_value);
        puc_value[0] = '\0';
        return -1;
    }
    for (size_t i = len - 1; i > 0; --i) {
        char c = puc_value[i];
        if (c != '\n' && c != '\r' && c != ' ') {
            break;
        }
        puc_value[i] = '\0';
    }
    return 0;
}

int ini_file_exist(const char *file_path)
{
    if (file_path == nullptr) {
        OAM_ERR("[%s:%d]para file_path is NULL\n\n");
        return -1;
    }
    return access(file_path, R_OK) == 0 ? 0 : -1;
}

int ini_find_var_value_by_path(const char *path, int tag, const char *puc_var, char *puc_value, uint32_t size)
{
    // A zero capacity leaves no room even for the terminator of a miss.
    if (puc_var == nullptr || puc_var[0] == '\0' || puc_value == nullptr || size == 0) {
        OAM_ERR("[%s:%d]check if puc_var and puc_value is NULL or blank\n");
        return -1;
    }
    if (path == nullptr) {
        OAM_ERR("[%s:%d]didn't get ini file path!\n");
        return -1;
    }
    if (pthread_mutex_lock(&g_ini_mutex) != 0) {
        OAM_ERR("[%s:%d]INI_MUTEX_LOCK ERR!\n");
        return -1;
    }

    FILE *file = ini_file_open(path);
    if (file == nullptr) {
        OAM_ERR("[%s:%d]open %s failed!!!\n", path);
        ini_mutex_unlock();
        return -1;
    }
    int ret = ini_find_modu(file, tag);
    if (ret == 0) {
        ret = ini_find_var(file, puc_var, puc_value, size);
    }
    if (ret != 0) {
        puc_value[0] = '\0';
    }
    ini_file_close(file);
    ini_mutex_unlock();

    if (ret != 0) {
        return -1;
    }
    return ini_check_value(puc_value);
}

int ini_find_var_value(int tag, const char *puc_var, char *puc_value, uint32_t size)
{
    if (access(g_ini_cust_file_path, R_OK) == 0 &&
        ini_find_var_value_by_path(g_ini_cust_file_path, tag, puc_var, puc_value, size) == 0) {
        return 0;
    }

    const char *path = get_ini_file_path();
    if (ini_file_exist(path) != 0) {
        OAM_ERR("[%s:%d] %s not exist!!!\n", path != nullptr ? path : "");
        return -1;
    }
    return ini_find_var_value_by_path(path, tag, puc_var, puc_value, size);
}

int get_cust_conf_string(int tag, const char *name, char *value, uint32_t size)
{
    if (name == nullptr || value == nullptr) {
        OAM_ERR("[%s:%d]get_cust_conf_string param is null!!!\n");
        return -1;
    }
    return ini_find_var_value(tag, name, value, size);
}

int get_cust_conf_int32(int tag, const char *name, int32_t *out)
{
    if (name == nullptr || out == nullptr) {
        OAM_ERR("[%s:%d]get_cust_conf_int32 param is null!!!\n");
        return -1;
    }

    char value[INI_INT_VALUE_LEN];
    int ret = memset_s(value, sizeof(value), 0, sizeof(value));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }
    if (ini_find_var_value(tag, name, value, sizeof(value)) != 0) {
        return -1;
    }

    int32_t number = 0;
    if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        unsigned int bits = 0;
        ret = sscanf_s(value, "%x", &bits);
        number = static_cast<int32_t>(bits);
    } else {
        ret = sscanf_s(value, "%d", &number);
    }
    if (ret != 1) {
        // The scan sets no errno: whatever errno holds is from an earlier call.
        OAM_WARN("[%s:%d]%s trans to int failed:%s\n", name, strerror(EINVAL));
        return -1;
    }
    *out = number;
    return 0;
}
