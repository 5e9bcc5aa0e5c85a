#include "driver_ini.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define LINE_MAX_BYTES 1024u

typedef struct parser {
  driver_ini *ini;
  unsigned line;
  driver_ini_device *current; /* NULL outside a [device] section */
  int in_other_section;
  unsigned seen_keys; /* bit per key of the current section, to refuse repeats */
  char *error;
  size_t error_size;
  void (*warn)(const char *, void *);
  void *context;
} parser;

static int fail(parser *p, const char *format, ...) {
  if (p->error && p->error_size) {
    int used = snprintf(p->error, p->error_size, "line %u: ", p->line);
    if (used < 0) used = 0;
    if ((size_t)used < p->error_size) {
      va_list args;
      va_start(args, format);
      vsnprintf(p->error + used, p->error_size - (size_t)used, format, args);
      va_end(args);
    }
  }
  return 0;
}

static void warn(parser *p, const char *format, ...) {
  char message[DRIVER_INI_ERROR_MAX];
  int used = snprintf(message, sizeof message, "line %u: ", p->line);
  if (used < 0) used = 0;
  va_list args;
  va_start(args, format);
  vsnprintf(message + used, sizeof message - (size_t)used, format, args);
  va_end(args);
  p->ini->warnings++;
  if (p->warn) p->warn(message, p->context);
}

static int is_blank(char c) { return c == ' ' || c == '\t'; }

static int equals_ignoring_case(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
    if (x != y) return 0;
  }
  return *a == *b;
}

/* Trims blanks at both ends in place; returns the start. */
static char *trim(char *text) {
  while (is_blank(*text)) ++text;
  size_t length = strlen(text);
  while (length && is_blank(text[length - 1])) text[--length] = 0;
  return text;
}

/* Cuts a comment: ';' at the start of the line or after a blank. */
static void cut_comment(char *line) {
  for (char *at = line; *at; ++at) {
    if (*at == ';' && (at == line || is_blank(at[-1]))) {
      *at = 0;
      return;
    }
  }
}

int driver_ini_parse_u64(const char *text, uint64_t *value) {
  uint64_t result = 0;
  unsigned base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (!*text) return 0;
  for (; *text; ++text) {
    unsigned digit;
    char c = *text;
    if (c >= '0' && c <= '9')
      digit = (unsigned)(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = (unsigned)(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = (unsigned)(c - 'A' + 10);
    else
      return 0;
    if (result > (UINT64_MAX - digit) / base) return 0;
    result = result * base + digit;
  }
  *value = result;
  return 1;
}

/* Splits off the next blank-separated word; returns NULL when none is left. */
static char *next_word(char **cursor) {
  char *at = *cursor;
  while (is_blank(*at)) ++at;
  if (!*at) return NULL;
  char *word = at;
  while (*at && !is_blank(*at)) ++at;
  if (*at) *at++ = 0;
  *cursor = at;
  return word;
}

static int parse_reading(parser *p, const char *key, char *value, simdev_reading *reading) {
  char *cursor = value;
  char *first = next_word(&cursor);
  if (!first) return fail(p, "%s: a value is required", key);
  if (equals_ignoring_case(first, "counter")) {
    char *start = next_word(&cursor), *step = next_word(&cursor);
    if (!start || !step || next_word(&cursor)) return fail(p, "%s: expected \"counter START STEP\"", key);
    if (!driver_ini_parse_u64(start, &reading->start) || !driver_ini_parse_u64(step, &reading->step))
      return fail(p, "%s: START and STEP must be unsigned 64-bit numbers (decimal or 0x hex)", key);
    return 1;
  }
  if (next_word(&cursor) || !driver_ini_parse_u64(first, &reading->start))
    return fail(p, "%s: expected an unsigned 64-bit number or \"counter START STEP\"", key);
  reading->step = 0;
  return 1;
}

static int parse_check(parser *p, char *value, simdev_config *config) {
  uint64_t check;
  if (!driver_ini_parse_u64(value, &check) || check > 0xFFFFu)
    return fail(p, "check: expected a number from 0 to 65535");
  config->check = (uint16_t)check;
  return 1;
}

static int parse_fail(parser *p, char *value, simdev_config *config) {
  static const struct {
    const char *name;
    simdev_request request;
  } requests[] = {{"open", SIMDEV_REQUEST_OPEN},
                  {"check", SIMDEV_REQUEST_CHECK},
                  {"info", SIMDEV_REQUEST_INFO},
                  {"read", SIMDEV_REQUEST_READ}};
  char *cursor = value;
  char *name = next_word(&cursor), *code = next_word(&cursor);
  uint64_t error;
  if (!name || !code || next_word(&cursor)) return fail(p, "fail: expected \"REQUEST CODE\"");
  if (!driver_ini_parse_u64(code, &error) || error == 0 || error > 0xFFFFu)
    return fail(p, "fail: the Win32 error code must be from 1 to 65535");
  for (size_t i = 0; i < sizeof requests / sizeof requests[0]; ++i) {
    if (equals_ignoring_case(name, requests[i].name)) {
      config->fail_request = requests[i].request;
      config->fail_error = (uint32_t)error;
      return 1;
    }
  }
  return fail(p, "fail: unknown request \"%s\" (open, check, info or read)", name);
}

/* Decodes UTF-8 into UTF-16; 0 for malformed input or a name too long. */
static int parse_component(parser *p, const char *value, simdev_config *config) {
  const unsigned char *at = (const unsigned char *)value;
  uint32_t units = 0;
  while (*at) {
    uint32_t code;
    int extra;
    if (*at < 0x80) {
      code = *at;
      extra = 0;
    } else if ((*at & 0xE0) == 0xC0) {
      code = *at & 0x1Fu;
      extra = 1;
    } else if ((*at & 0xF0) == 0xE0) {
      code = *at & 0x0Fu;
      extra = 2;
    } else if ((*at & 0xF8) == 0xF0) {
      code = *at & 0x07u;
      extra = 3;
    } else
      return fail(p, "component: not valid UTF-8");
    ++at;
    for (int i = 0; i < extra; ++i, ++at) {
      if ((*at & 0xC0) != 0x80) return fail(p, "component: not valid UTF-8");
      code = (code << 6) | (*at & 0x3Fu);
    }
    static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return fail(p, "component: not valid UTF-8");
    uint32_t needed = code >= 0x10000 ? 2 : 1;
    if (units + needed > TARNPWR_NAME_MAX)
      return fail(p, "component: longer than %u UTF-16 code units", TARNPWR_NAME_MAX);
    if (needed == 2) {
      code -= 0x10000;
      config->component[units++] = (uint16_t)(0xD800 + (code >> 10));
      config->component[units++] = (uint16_t)(0xDC00 + (code & 0x3FF));
    } else {
      config->component[units++] = (uint16_t)code;
    }
  }
  config->component[units] = 0;
  return 1;
}

static int parse_path(parser *p, const char *value, driver_ini_device *device) {
  size_t length = strlen(value);
  if (length == 0) return fail(p, "path: a value is required");
  if (length >= DRIVER_INI_PATH_MAX) return fail(p, "path: longer than %u bytes", DRIVER_INI_PATH_MAX - 1);
  memcpy(device->path, value, length + 1);
  return 1;
}

enum { KEY_PATH, KEY_COMPONENT, KEY_CHECK, KEY_READING0, KEY_READING1, KEY_FAIL, KEY_COUNT };
static const char *const key_names[KEY_COUNT] = {"path", "component", "check", "reading0", "reading1", "fail"};

static int parse_key(parser *p, char *key, char *value) {
  if (p->in_other_section) return 1;
  if (!p->current) return fail(p, "\"%s\" outside a [device] section", key);
  int which = -1;
  for (int i = 0; i < KEY_COUNT; ++i)
    if (equals_ignoring_case(key, key_names[i])) which = i;
  if (which < 0) {
    warn(p, "unknown key \"%s\" skipped", key);
    return 1;
  }
  if (p->seen_keys & (1u << which)) return fail(p, "\"%s\" given twice in one section", key_names[which]);
  p->seen_keys |= 1u << which;
  simdev_config *config = &p->current->config;
  switch (which) {
    case KEY_PATH: return parse_path(p, value, p->current);
    case KEY_COMPONENT: return parse_component(p, value, config);
    case KEY_CHECK: return parse_check(p, value, config);
    case KEY_READING0: return parse_reading(p, "reading0", value, &config->reading[0]);
    case KEY_READING1: return parse_reading(p, "reading1", value, &config->reading[1]);
    default: return parse_fail(p, value, config);
  }
}

static int open_section(parser *p, char *line) {
  size_t length = strlen(line);
  if (line[length - 1] != ']') return fail(p, "section header without ']'");
  line[length - 1] = 0;
  char *name = trim(line + 1);
  p->current = NULL;
  p->seen_keys = 0;
  if (!equals_ignoring_case(name, "device")) {
    warn(p, "section [%s] skipped", name);
    p->in_other_section = 1;
    return 1;
  }
  p->in_other_section = 0;
  driver_ini *ini = p->ini;
  driver_ini_device *grown = realloc(ini->devices, (ini->count + 1) * sizeof *grown);
  if (!grown) return fail(p, "out of memory");
  ini->devices = grown;
  p->current = &ini->devices[ini->count++];
  memset(p->current, 0, sizeof *p->current);
  p->current->line = p->line;
  simdev_config_init(&p->current->config);
  return 1;
}

static int parse_line(parser *p, char *line) {
  cut_comment(line);
  line = trim(line);
  if (!*line) return 1;
  if (*line == '[') return open_section(p, line);
  char *equals = strchr(line, '=');
  if (!equals) return fail(p, "expected \"key = value\" or a [section]");
  *equals = 0;
  char *key = trim(line);
  if (!*key) return fail(p, "a key is missing before '='");
  return parse_key(p, key, trim(equals + 1));
}

static int check_unique_paths(parser *p) {
  const driver_ini *ini = p->ini;
  for (size_t i = 0; i < ini->count; ++i) {
    for (size_t j = i + 1; j < ini->count; ++j) {
      if (ini->devices[i].path[0] && strcmp(ini->devices[i].path, ini->devices[j].path) == 0) {
        p->line = ini->devices[j].line;
        return fail(p, "path \"%s\" also given for the section at line %u", ini->devices[j].path, ini->devices[i].line);
      }
    }
  }
  return 1;
}

int driver_ini_parse(const char *text, size_t length, driver_ini *ini, char *error, size_t error_size,
                     void (*warn_cb)(const char *, void *), void *context) {
  parser p = {ini, 0, NULL, 0, 0, error, error_size, warn_cb, context};
  char line[LINE_MAX_BYTES];
  size_t at = 0;
  ini->devices = NULL;
  ini->count = 0;
  ini->warnings = 0;
  if (error && error_size) error[0] = 0;
  if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) at = 3;
  while (at < length) {
    size_t end = at;
    while (end < length && text[end] != '\n') ++end;
    size_t line_length = end - at;
    if (line_length && text[end - 1] == '\r') --line_length;
    ++p.line;
    if (line_length >= sizeof line) {
      fail(&p, "line longer than %u bytes", LINE_MAX_BYTES - 1);
      driver_ini_free(ini);
      return 0;
    }
    if (memchr(text + at, 0, line_length)) {
      fail(&p, "NUL byte in the text");
      driver_ini_free(ini);
      return 0;
    }
    memcpy(line, text + at, line_length);
    line[line_length] = 0;
    if (!parse_line(&p, line)) {
      driver_ini_free(ini);
      return 0;
    }
    at = end + 1;
  }
  if (!check_unique_paths(&p)) {
    driver_ini_free(ini);
    return 0;
  }
  return 1;
}

void driver_ini_free(driver_ini *ini) {
  free(ini->devices);
  ini->devices = NULL;
  ini->count = 0;
}

/* NNNN of "\\?\root#tarnpwr#NNNN#{45bd8344-7ed6-49cf-a440-c276c933b053}"
 * (any case); -1 when the path does not have that form. */
static int root_instance_of(const char *path) {
  static const char prefix[] = "\\\\?\\root#tarnpwr#";
  static const char suffix[] = "#{45bd8344-7ed6-49cf-a440-c276c933b053}";
  const size_t prefix_length = sizeof prefix - 1, suffix_length = sizeof suffix - 1;
  if (strlen(path) != prefix_length + 4 + suffix_length) return -1;
  char head[sizeof prefix], tail[sizeof suffix];
  memcpy(head, path, prefix_length);
  head[prefix_length] = 0;
  memcpy(tail, path + prefix_length + 4, suffix_length + 1);
  if (!equals_ignoring_case(head, prefix) || !equals_ignoring_case(tail, suffix)) return -1;
  int number = 0;
  for (size_t i = 0; i < 4; ++i) {
    char c = path[prefix_length + i];
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

static int explicit_instances(driver_ini *ini, char *error, size_t error_size) {
  for (size_t i = 0; i < ini->count; ++i) {
    ini->devices[i].instance = (unsigned)root_instance_of(ini->devices[i].path);
    for (size_t j = 0; j < i; ++j) {
      if (ini->devices[j].instance == ini->devices[i].instance) {
        snprintf(error, error_size, "line %u: instance %04u is also used at line %u", ini->devices[i].line,
                 ini->devices[i].instance, ini->devices[j].line);
        return 0;
      }
    }
  }
  return 1;
}

/* Ordinal order of paths; sections without a path after all others. */
static int sorts_before(const driver_ini_device *a, const driver_ini_device *b) {
  if (!a->path[0] || !b->path[0]) return a->path[0] && !b->path[0];
  return strcmp(a->path, b->path) < 0;
}

int driver_ini_assign_instances(driver_ini *ini, char *error, size_t error_size) {
  int all_explicit = ini->count > 0;
  for (size_t i = 0; i < ini->count; ++i)
    if (root_instance_of(ini->devices[i].path) < 0) all_explicit = 0;
  if (all_explicit) return explicit_instances(ini, error, error_size);
  if (ini->count > 10000) {
    snprintf(error, error_size, "more than 10000 devices");
    return 0;
  }
  for (size_t i = 0; i < ini->count; ++i) {
    unsigned rank = 0;
    for (size_t j = 0; j < ini->count; ++j) {
      if (j == i) continue;
      if (sorts_before(&ini->devices[j], &ini->devices[i]) ||
          (!sorts_before(&ini->devices[i], &ini->devices[j]) && j < i))
        ++rank;
    }
    ini->devices[i].instance = rank;
  }
  return 1;
}
