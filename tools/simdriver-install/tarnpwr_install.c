/*
 * tarnpwr-install: installs, lists and removes simulated power-monitor
 * devices (root\tarnpwr devnodes driven by tarnpwr.sys).
 *
 *   tarnpwr-install install [--replace] [--inf PATH] DRIVER.INI
 *   tarnpwr-install remove all | NNNN | ROOT\TARNPWR\NNNN | DEVICE-PATH
 *   tarnpwr-install list
 *
 * install creates one devnode ROOT\TARNPWR\NNNN per [device] section, stores
 * the section's fields in the devnode's hardware key ("Device Parameters"),
 * where the driver reads them, installs the driver from the INF and waits
 * until every interface is enabled. remove takes devnodes away with
 * DIF_REMOVE, also while clients hold handles. Must be a 64-bit process: the
 * driver service it creates has to be a native one.
 *
 * Exit codes: 0 success, 1 a step failed, 2 bad command line or driver.ini.
 */
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "driver_ini.h"

#define HARDWARE_ID L"root\\tarnpwr"
#define DEVICE_DESCRIPTION L"Tarn simulated power monitor"
#define INTERFACE_WAIT_MS 15000u

/* {4d36e97d-e325-11ce-bfc1-08002be10318}, the "System" setup class. */
static const GUID system_setup_class = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
static const GUID interface_class = TARNPWR_INTERFACE_GUID_INIT;

/* ROOT\\TARNPWR\\NNNN, the instance id of device number `number`. */
static void instance_name(unsigned number, WCHAR *instance) {
  swprintf(instance, MAX_DEVICE_ID_LEN, L"ROOT\\TARNPWR\\%04u", number);
}

/* ---- output ------------------------------------------------------------- */

static void print_wide(FILE *stream, const WCHAR *text) {
  char buffer[1024];
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
  fputs(length > 0 ? buffer : "?", stream);
}

static int report_failure(const char *what, DWORD error) {
  char message[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, message, sizeof message,
                 NULL);
  size_t length = strlen(message);
  while (length && (message[length - 1] == '\n' || message[length - 1] == '\r')) message[--length] = 0;
  fprintf(stderr, "tarnpwr-install: %s failed: error %lu%s%s\n", what, (unsigned long)error, length ? ", " : "",
          message);
  return 1;
}

/* ---- the root\tarnpwr devnodes that exist --------------------------------- */

typedef struct devnode_list {
  HDEVINFO set;
} devnode_list;

static int has_our_hardware_id(HDEVINFO set, SP_DEVINFO_DATA *device) {
  WCHAR ids[256] = {0};
  DWORD type = 0;
  /* The last two units stay 0, so the list ends even if the value lacks its terminators. */
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, (BYTE *)ids,
                                         sizeof ids - 2 * sizeof ids[0], NULL))
    return 0;
  for (const WCHAR *id = ids; *id; id += wcslen(id) + 1)
    if (_wcsicmp(id, HARDWARE_ID) == 0) return 1;
  return 0;
}

/* All root-enumerated devnodes; filter with has_our_hardware_id. */
static int open_root_devnodes(devnode_list *list) {
  list->set = SetupDiGetClassDevsW(NULL, L"ROOT", NULL, DIGCF_ALLCLASSES);
  if (list->set == INVALID_HANDLE_VALUE) return report_failure("SetupDiGetClassDevsW(ROOT)", GetLastError());
  return 0;
}

static void close_devnodes(devnode_list *list) {
  if (list->set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list->set);
  list->set = INVALID_HANDLE_VALUE;
}

/* Calls visit for each root\tarnpwr devnode; stops when it returns non-zero. */
static int for_each_devnode(HDEVINFO set, int (*visit)(HDEVINFO, SP_DEVINFO_DATA *, void *), void *context) {
  SP_DEVINFO_DATA device = {.cbSize = sizeof device};
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    if (!has_our_hardware_id(set, &device)) continue;
    int result = visit(set, &device, context);
    if (result) return result;
  }
  return 0;
}

static void instance_id_of(HDEVINFO set, SP_DEVINFO_DATA *device, WCHAR *id, DWORD capacity) {
  if (!SetupDiGetDeviceInstanceIdW(set, device, id, capacity, NULL)) wcscpy(id, L"?");
}

/* ---- interface paths ------------------------------------------------------ */

typedef struct interface_entry {
  WCHAR instance[MAX_DEVICE_ID_LEN];
  WCHAR path[512];
} interface_entry;

typedef struct interface_list {
  interface_entry *entries;
  size_t count;
} interface_list;

/* The present interfaces of the power-monitor class with their devnodes. */
static int list_present_interfaces(interface_list *list) {
  list->entries = NULL;
  list->count = 0;
  HDEVINFO set = SetupDiGetClassDevsW(&interface_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return report_failure("SetupDiGetClassDevsW(interfaces)", GetLastError());
  SP_DEVICE_INTERFACE_DATA data = {.cbSize = sizeof data};
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, NULL, &interface_class, index, &data); ++index) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
      BYTE bytes[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 512 * sizeof(WCHAR)];
    } buffer;
    SP_DEVINFO_DATA device = {.cbSize = sizeof device};
    buffer.detail.cbSize = sizeof buffer.detail;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, &buffer.detail, sizeof buffer, NULL, &device)) continue;
    interface_entry *grown = realloc(list->entries, (list->count + 1) * sizeof *grown);
    if (!grown) break;
    list->entries = grown;
    interface_entry *entry = &list->entries[list->count++];
    instance_id_of(set, &device, entry->instance, MAX_DEVICE_ID_LEN);
    wcsncpy(entry->path, buffer.detail.DevicePath, 511);
    entry->path[511] = 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  return 0;
}

static const interface_entry *find_interface(const interface_list *list, const WCHAR *instance) {
  for (size_t i = 0; i < list->count; ++i)
    if (_wcsicmp(list->entries[i].instance, instance) == 0) return &list->entries[i];
  return NULL;
}

/* ---- device parameters ---------------------------------------------------- */

static LSTATUS set_dword(HKEY key, const WCHAR *name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

static LSTATUS set_qword(HKEY key, const WCHAR *name, unsigned long long value) {
  return RegSetValueExW(key, name, 0, REG_QWORD, (const BYTE *)&value, sizeof value);
}

static LSTATUS set_string(HKEY key, const WCHAR *name, const WCHAR *value) {
  return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value, (DWORD)((wcslen(value) + 1) * sizeof(WCHAR)));
}

static int store_parameters(HDEVINFO set, SP_DEVINFO_DATA *device, const driver_ini_device *source) {
  HKEY key = SetupDiCreateDevRegKeyW(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
  if (key == INVALID_HANDLE_VALUE) return report_failure("SetupDiCreateDevRegKeyW", GetLastError());
  const simdev_config *config = &source->config;
  WCHAR component[TARNPWR_NAME_MAX + 1];
  WCHAR path[DRIVER_INI_PATH_MAX];
  for (unsigned i = 0; i <= TARNPWR_NAME_MAX; ++i) component[i] = config->component[i];
  if (!MultiByteToWideChar(CP_UTF8, 0, source->path, -1, path, DRIVER_INI_PATH_MAX)) path[0] = 0;
  LSTATUS status = set_string(key, L"Component", component);
  if (!status) status = set_dword(key, L"Check", config->check);
  if (!status) status = set_qword(key, L"Reading0Start", config->reading[0].start);
  if (!status) status = set_qword(key, L"Reading0Step", config->reading[0].step);
  if (!status) status = set_qword(key, L"Reading1Start", config->reading[1].start);
  if (!status) status = set_qword(key, L"Reading1Step", config->reading[1].step);
  if (!status) status = set_dword(key, L"FailRequest", config->fail_request);
  if (!status) status = set_dword(key, L"FailError", config->fail_error);
  if (!status) status = set_string(key, L"Path", path);
  RegCloseKey(key);
  return status ? report_failure("writing the device parameters", (DWORD)status) : 0;
}

/* ---- remove --------------------------------------------------------------- */

typedef struct remove_request {
  const WCHAR *what; /* "all", "NNNN", an instance id or a device path */
  const interface_list *interfaces;
  unsigned removed;
  int failed;
} remove_request;

static int matches(const remove_request *request, const WCHAR *instance) {
  const WCHAR *what = request->what;
  if (_wcsicmp(what, L"all") == 0 || _wcsicmp(what, instance) == 0) return 1;
  const WCHAR *last = wcsrchr(instance, L'\\');
  if (last && _wcsicmp(what, last + 1) == 0) return 1;
  const interface_entry *entry = find_interface(request->interfaces, instance);
  return entry && _wcsicmp(what, entry->path) == 0;
}

static int remove_one(HDEVINFO set, SP_DEVINFO_DATA *device, void *context) {
  remove_request *request = context;
  WCHAR instance[MAX_DEVICE_ID_LEN];
  instance_id_of(set, device, instance, MAX_DEVICE_ID_LEN);
  if (!matches(request, instance)) return 0;
  if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device)) {
    report_failure("DIF_REMOVE", GetLastError());
    request->failed = 1;
    return 0;
  }
  printf("removed ");
  print_wide(stdout, instance);
  printf("\n");
  request->removed++;
  return 0;
}

static int remove_devices(const WCHAR *what, unsigned *removed) {
  interface_list interfaces;
  devnode_list devnodes;
  if (list_present_interfaces(&interfaces)) return 1;
  if (open_root_devnodes(&devnodes)) {
    free(interfaces.entries);
    return 1;
  }
  remove_request request = {what, &interfaces, 0, 0};
  for_each_devnode(devnodes.set, remove_one, &request);
  close_devnodes(&devnodes);
  free(interfaces.entries);
  *removed = request.removed;
  return request.failed;
}

static int command_remove(const WCHAR *what) {
  unsigned removed = 0;
  if (remove_devices(what, &removed)) return 1;
  if (removed == 0 && _wcsicmp(what, L"all") != 0) {
    fprintf(stderr, "tarnpwr-install: no root\\tarnpwr device matches \"");
    print_wide(stderr, what);
    fprintf(stderr, "\"\n");
    return 1;
  }
  return 0;
}

/* ---- list ------------------------------------------------------------------ */

static void print_parameters(HDEVINFO set, SP_DEVINFO_DATA *device) {
  HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) {
    printf("  (no device parameters)\n");
    return;
  }
  WCHAR component[TARNPWR_NAME_MAX + 1] = L"";
  DWORD size = sizeof component - sizeof(WCHAR), check = 1, fail_request = 0, fail_error = 0;
  unsigned long long reading[4] = {0, 0, 0, 0};
  static const WCHAR *const reading_names[4] = {L"Reading0Start", L"Reading0Step", L"Reading1Start", L"Reading1Step"};
  RegQueryValueExW(key, L"Component", NULL, NULL, (BYTE *)component, &size);
  size = sizeof check;
  RegQueryValueExW(key, L"Check", NULL, NULL, (BYTE *)&check, &size);
  for (int i = 0; i < 4; ++i) {
    size = sizeof reading[i];
    RegQueryValueExW(key, reading_names[i], NULL, NULL, (BYTE *)&reading[i], &size);
  }
  size = sizeof fail_request;
  RegQueryValueExW(key, L"FailRequest", NULL, NULL, (BYTE *)&fail_request, &size);
  size = sizeof fail_error;
  RegQueryValueExW(key, L"FailError", NULL, NULL, (BYTE *)&fail_error, &size);
  RegCloseKey(key);
  static const char *const requests[] = {"none", "open", "check", "info", "read"};
  printf("  component=");
  print_wide(stdout, component);
  printf(" check=%lu reading0=%llu+%llu reading1=%llu+%llu fail=%s", (unsigned long)check, reading[0], reading[1],
         reading[2], reading[3], fail_request < 5 ? requests[fail_request] : "?");
  if (fail_request) printf(" %lu", (unsigned long)fail_error);
  printf("\n");
}

static int list_one(HDEVINFO set, SP_DEVINFO_DATA *device, void *context) {
  const interface_list *interfaces = context;
  WCHAR instance[MAX_DEVICE_ID_LEN];
  instance_id_of(set, device, instance, MAX_DEVICE_ID_LEN);
  const interface_entry *entry = find_interface(interfaces, instance);
  print_wide(stdout, instance);
  printf("  ");
  if (entry)
    print_wide(stdout, entry->path);
  else
    printf("(no present interface)");
  printf("\n");
  print_parameters(set, device);
  return 0;
}

static int command_list(void) {
  interface_list interfaces;
  devnode_list devnodes;
  if (list_present_interfaces(&interfaces)) return 1;
  if (open_root_devnodes(&devnodes)) {
    free(interfaces.entries);
    return 1;
  }
  for_each_devnode(devnodes.set, list_one, &interfaces);
  close_devnodes(&devnodes);
  free(interfaces.entries);
  return 0;
}

/* ---- install --------------------------------------------------------------- */

static int count_one(HDEVINFO set, SP_DEVINFO_DATA *device, void *context) {
  WCHAR instance[MAX_DEVICE_ID_LEN];
  instance_id_of(set, device, instance, MAX_DEVICE_ID_LEN);
  fprintf(stderr, "  ");
  print_wide(stderr, instance);
  fprintf(stderr, "\n");
  ++*(unsigned *)context;
  return 0;
}

/* Refuses to mix with devices of an earlier install unless told to replace them. */
static int clear_existing(int replace) {
  devnode_list devnodes;
  unsigned existing = 0;
  if (open_root_devnodes(&devnodes)) return 1;
  if (!replace) for_each_devnode(devnodes.set, count_one, &existing);
  close_devnodes(&devnodes);
  if (existing) {
    fprintf(stderr,
            "tarnpwr-install: %u root\\tarnpwr device(s) above already exist; use --replace or "
            "\"remove all\" first\n",
            existing);
    return 1;
  }
  unsigned removed = 0;
  return replace ? remove_devices(L"all", &removed) : 0;
}

static int create_devnode(HDEVINFO set, const driver_ini_device *source) {
  static const WCHAR hardware_ids[] = HARDWARE_ID L"\0";
  WCHAR instance[MAX_DEVICE_ID_LEN];
  SP_DEVINFO_DATA device = {.cbSize = sizeof device};
  instance_name(source->instance, instance);
  if (!SetupDiCreateDeviceInfoW(set, instance, &system_setup_class, DEVICE_DESCRIPTION, NULL, 0, &device))
    return report_failure("SetupDiCreateDeviceInfoW", GetLastError());
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)hardware_ids,
                                         sizeof hardware_ids))
    return report_failure("SetupDiSetDeviceRegistryPropertyW(SPDRP_HARDWAREID)", GetLastError());
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
    return report_failure("DIF_REGISTERDEVICE", GetLastError());
  return store_parameters(set, &device, source);
}

static size_t count_missing(const driver_ini *ini, const interface_list *interfaces) {
  size_t missing = 0;
  for (size_t i = 0; i < ini->count; ++i) {
    WCHAR instance[MAX_DEVICE_ID_LEN];
    instance_name(ini->devices[i].instance, instance);
    if (!find_interface(interfaces, instance)) ++missing;
  }
  return missing;
}

static void print_installed(const driver_ini *ini, const interface_list *interfaces) {
  for (size_t i = 0; i < ini->count; ++i) {
    WCHAR instance[MAX_DEVICE_ID_LEN];
    instance_name(ini->devices[i].instance, instance);
    print_wide(stdout, instance);
    printf("  ");
    print_wide(stdout, find_interface(interfaces, instance)->path);
    printf("\n");
  }
}

/* The interfaces appear once the driver has started each device. */
static int wait_for_interfaces(const driver_ini *ini) {
  const DWORD started = GetTickCount();
  for (;;) {
    interface_list interfaces;
    if (list_present_interfaces(&interfaces)) return 1;
    size_t missing = count_missing(ini, &interfaces);
    if (missing == 0) print_installed(ini, &interfaces);
    free(interfaces.entries);
    if (missing == 0) return 0;
    if (GetTickCount() - started >= INTERFACE_WAIT_MS) {
      fprintf(stderr, "tarnpwr-install: %u of %u interface(s) not enabled after %u ms\n", (unsigned)missing,
              (unsigned)ini->count, INTERFACE_WAIT_MS);
      return 1;
    }
    Sleep(50);
  }
}

static int read_file(const WCHAR *path, char **text, size_t *length) {
  FILE *file = _wfopen(path, L"rb");
  if (!file) return report_failure("opening the driver.ini", GetLastError() ? GetLastError() : ERROR_FILE_NOT_FOUND);
  size_t capacity = 4096, used = 0;
  char *buffer = malloc(capacity);
  for (;;) {
    if (!buffer) {
      fclose(file);
      return report_failure("reading the driver.ini", ERROR_NOT_ENOUGH_MEMORY);
    }
    used += fread(buffer + used, 1, capacity - used, file);
    if (used < capacity) break;
    capacity *= 2;
    char *grown = realloc(buffer, capacity);
    if (!grown) free(buffer);
    buffer = grown;
  }
  int failed = ferror(file);
  fclose(file);
  if (failed) {
    free(buffer);
    return report_failure("reading the driver.ini", ERROR_READ_FAULT);
  }
  *text = buffer;
  *length = used;
  return 0;
}

static void print_warning(const char *message, void *context) {
  (void)context;
  fprintf(stderr, "tarnpwr-install: warning: %s\n", message);
}

static int load_ini(const WCHAR *path, driver_ini *ini) {
  char *text = NULL, error[DRIVER_INI_ERROR_MAX];
  size_t length = 0;
  if (read_file(path, &text, &length)) return 1;
  int parsed = driver_ini_parse(text, length, ini, error, sizeof error, print_warning, NULL);
  free(text);
  if (parsed && ini->count == 0) {
    snprintf(error, sizeof error, "no [device] section");
    parsed = 0;
  }
  if (parsed && !driver_ini_assign_instances(ini, error, sizeof error)) {
    driver_ini_free(ini);
    parsed = 0;
  }
  if (!parsed) {
    fprintf(stderr, "tarnpwr-install: ");
    print_wide(stderr, path);
    fprintf(stderr, ": %s\n", error);
    return 2;
  }
  return 0;
}

static int default_inf_path(WCHAR *path, DWORD capacity) {
  DWORD length = GetModuleFileNameW(NULL, path, capacity);
  if (!length || length >= capacity) return report_failure("GetModuleFileNameW", GetLastError());
  WCHAR *slash = wcsrchr(path, L'\\');
  if (!slash || (size_t)(slash - path) + 13 >= capacity)
    return report_failure("locating tarnpwr.inf", ERROR_BAD_PATHNAME);
  wcscpy(slash + 1, L"tarnpwr.inf");
  return 0;
}

static int command_install(const WCHAR *ini_path, const WCHAR *inf_argument, int replace) {
  WCHAR inf_path[MAX_PATH], given[MAX_PATH];
  driver_ini ini;
  int result = load_ini(ini_path, &ini);
  if (result) return result;
  if (inf_argument)
    wcsncpy(given, inf_argument, MAX_PATH - 1), given[MAX_PATH - 1] = 0;
  else if (default_inf_path(given, MAX_PATH))
    goto done_ini;
  if (!GetFullPathNameW(given, MAX_PATH, inf_path, NULL)) {
    result = report_failure("GetFullPathNameW(INF)", GetLastError());
    goto done_ini;
  }
  if ((result = clear_existing(replace))) goto done_ini;

  HDEVINFO set = SetupDiCreateDeviceInfoList(&system_setup_class, NULL);
  if (set == INVALID_HANDLE_VALUE) {
    result = report_failure("SetupDiCreateDeviceInfoList", GetLastError());
    goto done_ini;
  }
  for (size_t i = 0; i < ini.count && !result; ++i) result = create_devnode(set, &ini.devices[i]);
  SetupDiDestroyDeviceInfoList(set);

  if (!result) {
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, HARDWARE_ID, inf_path, INSTALLFLAG_FORCE, &reboot))
      result = report_failure("UpdateDriverForPlugAndPlayDevicesW", GetLastError());
  }
  if (!result) result = wait_for_interfaces(&ini);
  if (result) {
    /* Leave no half-installed devnodes behind. */
    unsigned removed = 0;
    remove_devices(L"all", &removed);
  }
done_ini:
  driver_ini_free(&ini);
  return result;
}

/* ---- command line ---------------------------------------------------------- */

static int usage(void) {
  fprintf(stderr,
          "usage: tarnpwr-install install [--replace] [--inf PATH] DRIVER.INI\n"
          "       tarnpwr-install remove all | NNNN | ROOT\\TARNPWR\\NNNN | DEVICE-PATH\n"
          "       tarnpwr-install list\n");
  return 2;
}

int wmain(int argc, WCHAR **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc < 2) return usage();
  const WCHAR *command = argv[1];
  if (_wcsicmp(command, L"list") == 0 && argc == 2) return command_list();
  if (_wcsicmp(command, L"remove") == 0 && argc == 3) return command_remove(argv[2]);
  if (_wcsicmp(command, L"install") == 0) {
    const WCHAR *inf = NULL, *ini = NULL;
    int replace = 0;
    for (int i = 2; i < argc; ++i) {
      if (_wcsicmp(argv[i], L"--replace") == 0)
        replace = 1;
      else if (_wcsicmp(argv[i], L"--inf") == 0 && i + 1 < argc)
        inf = argv[++i];
      else if (!ini && argv[i][0] != L'-')
        ini = argv[i];
      else
        return usage();
    }
    return ini ? command_install(ini, inf, replace) : usage();
  }
  return usage();
}
