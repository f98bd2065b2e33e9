/*
 * A stand-in for the few libudev functions that Qt's serial port enumeration
 * calls, loaded with LD_PRELOAD. It answers from the directory named by
 * ORV_VIRTUAL_USB_DIR: every "*.dev" file there is one USB serial device,
 * written as key=value lines:
 *
 *   sysname=ttyGCU0          (required: the port name)
 *   devnode=/dev/pts/7       (required: the device path to open)
 *   vendor=04d8              (hex, optional)
 *   product=eef0             (hex, optional)
 *   serial=SN1               (optional)
 *   manufacturer=Orvane      (optional)
 *   model=GCU                (optional)
 *
 * The directory is read afresh at every enumeration, so a publisher appears and
 * disappears atomically by renaming its file into place and removing it. Files
 * that are missing, unreadable or malformed are skipped.
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

enum
{
    FIELD_SYSNAME,
    FIELD_DEVNODE,
    FIELD_VENDOR,
    FIELD_PRODUCT,
    FIELD_SERIAL,
    FIELD_MANUFACTURER,
    FIELD_MODEL,
    FIELD_COUNT
};

static const char* const fieldKeys[FIELD_COUNT] = {"sysname", "devnode",      "vendor", "product",
                                                   "serial",  "manufacturer", "model"};

struct udev
{
    int refs;
};

struct udev_list_entry
{
    struct udev_list_entry* next;
    char* name;
};

struct udev_enumerate
{
    int refs;
    struct udev* udev;
    struct udev_list_entry* entries;
};

struct udev_device
{
    int refs;
    char* syspath;
    char* fields[FIELD_COUNT];
    struct udev_device* parent; /* owned by the child, as libudev does */
    int isParent;
    int onUsb; /* read from a device file; a vanished one has no USB parent */
};

static char* duplicate(const char* text)
{
    return text ? strdup(text) : NULL;
}

static int isHexIdentifier(const char* text)
{
    if (!text || !*text || strlen(text) > 4)
        return 0;
    for (; *text; ++text)
        if (!isxdigit((unsigned char)*text))
            return 0;
    return 1;
}

static void freeDevice(struct udev_device* device)
{
    if (!device)
        return;
    for (int i = 0; i < FIELD_COUNT; ++i)
        free(device->fields[i]);
    free(device->syspath);
    freeDevice(device->parent);
    free(device);
}

static char* trimLine(char* line)
{
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        line[--length] = '\0';
    return line;
}

/* Reads one device file; NULL when it is missing or malformed. */
static struct udev_device* readDevice(const char* path)
{
    FILE* file = fopen(path, "re");
    if (!file)
        return NULL;
    struct udev_device* device = calloc(1, sizeof *device);
    if (!device) {
        fclose(file);
        return NULL;
    }
    char line[512];
    while (fgets(line, sizeof line, file)) {
        char* separator = strchr(trimLine(line), '=');
        if (!separator)
            continue;
        *separator = '\0';
        for (int i = 0; i < FIELD_COUNT; ++i) {
            if (strcmp(line, fieldKeys[i]) == 0) {
                free(device->fields[i]);
                device->fields[i] = duplicate(separator + 1);
            }
        }
    }
    fclose(file);

    const int complete = device->fields[FIELD_SYSNAME] && *device->fields[FIELD_SYSNAME] &&
                         device->fields[FIELD_DEVNODE] && *device->fields[FIELD_DEVNODE];
    const int identifiersValid =
        (!device->fields[FIELD_VENDOR] || isHexIdentifier(device->fields[FIELD_VENDOR])) &&
        (!device->fields[FIELD_PRODUCT] || isHexIdentifier(device->fields[FIELD_PRODUCT]));
    if (!complete || !identifiersValid) {
        freeDevice(device);
        return NULL;
    }
    device->refs = 1;
    device->onUsb = 1;
    device->syspath = duplicate(path);
    return device;
}

static const char* directory(void)
{
    const char* dir = getenv("ORV_VIRTUAL_USB_DIR");
    return dir && *dir ? dir : NULL;
}

static int hasDeviceSuffix(const char* name)
{
    const size_t length = strlen(name);
    return name[0] != '.' && length > 4 && strcmp(name + length - 4, ".dev") == 0;
}

EXPORT struct udev* udev_new(void)
{
    struct udev* udev = calloc(1, sizeof *udev);
    if (udev)
        udev->refs = 1;
    return udev;
}

EXPORT struct udev* udev_ref(struct udev* udev)
{
    if (udev)
        ++udev->refs;
    return udev;
}

EXPORT struct udev* udev_unref(struct udev* udev)
{
    if (udev && --udev->refs == 0)
        free(udev);
    return NULL;
}

static void freeEntries(struct udev_list_entry* entry)
{
    while (entry) {
        struct udev_list_entry* next = entry->next;
        free(entry->name);
        free(entry);
        entry = next;
    }
}

EXPORT struct udev_enumerate* udev_enumerate_new(struct udev* udev)
{
    struct udev_enumerate* enumerate = calloc(1, sizeof *enumerate);
    if (!enumerate)
        return NULL;
    enumerate->refs = 1;
    enumerate->udev = udev_ref(udev);
    return enumerate;
}

EXPORT struct udev_enumerate* udev_enumerate_unref(struct udev_enumerate* enumerate)
{
    if (enumerate && --enumerate->refs == 0) {
        freeEntries(enumerate->entries);
        udev_unref(enumerate->udev);
        free(enumerate);
    }
    return NULL;
}

EXPORT int udev_enumerate_add_match_subsystem(struct udev_enumerate* enumerate,
                                              const char* subsystem)
{
    (void)subsystem; /* every published device is a tty */
    return enumerate ? 0 : -1;
}

static int compareNames(const void* a, const void* b)
{
    return strcmp(*(char* const*)a, *(char* const*)b);
}

EXPORT int udev_enumerate_scan_devices(struct udev_enumerate* enumerate)
{
    if (!enumerate)
        return -1;
    freeEntries(enumerate->entries);
    enumerate->entries = NULL;
    const char* dir = directory();
    if (!dir)
        return 0;
    DIR* handle = opendir(dir);
    if (!handle)
        return 0;

    /* Collect the valid device files, sorted by name for a stable order. */
    char** paths = NULL;
    size_t count = 0;
    struct dirent* entry;
    while ((entry = readdir(handle)) != NULL) {
        if (!hasDeviceSuffix(entry->d_name))
            continue;
        char* path = NULL;
        if (asprintf(&path, "%s/%s", dir, entry->d_name) < 0)
            continue;
        struct udev_device* device = readDevice(path);
        if (!device) {
            free(path);
            continue;
        }
        freeDevice(device);
        char** grown = realloc(paths, (count + 1) * sizeof *paths);
        if (!grown) {
            free(path);
            break;
        }
        paths = grown;
        paths[count++] = path;
    }
    closedir(handle);

    qsort(paths, count, sizeof *paths, compareNames);
    struct udev_list_entry** tail = &enumerate->entries;
    for (size_t i = 0; i < count; ++i) {
        struct udev_list_entry* item = calloc(1, sizeof *item);
        if (!item) {
            free(paths[i]);
            continue;
        }
        item->name = paths[i];
        *tail = item;
        tail = &item->next;
    }
    free(paths);
    return 0;
}

EXPORT struct udev_list_entry* udev_enumerate_get_list_entry(struct udev_enumerate* enumerate)
{
    return enumerate ? enumerate->entries : NULL;
}

EXPORT struct udev_list_entry* udev_list_entry_get_next(struct udev_list_entry* entry)
{
    return entry ? entry->next : NULL;
}

EXPORT const char* udev_list_entry_get_name(struct udev_list_entry* entry)
{
    return entry ? entry->name : NULL;
}

EXPORT struct udev_device* udev_device_new_from_syspath(struct udev* udev, const char* syspath)
{
    (void)udev;
    if (!syspath)
        return NULL;
    struct udev_device* device = readDevice(syspath);
    if (!device) {
        /* The file went away between the scan and now: a device without USB
         * identity that the caller skips, rather than an end of the list. */
        device = calloc(1, sizeof *device);
        if (!device)
            return NULL;
        device->refs = 1;
        device->syspath = duplicate(syspath);
        device->fields[FIELD_SYSNAME] = duplicate("gone");
        device->fields[FIELD_DEVNODE] = duplicate("/dev/null");
    }
    return device;
}

EXPORT struct udev_device* udev_device_ref(struct udev_device* device)
{
    if (device)
        ++device->refs;
    return device;
}

EXPORT struct udev_device* udev_device_unref(struct udev_device* device)
{
    if (device && !device->isParent && --device->refs == 0)
        freeDevice(device);
    return NULL;
}

EXPORT const char* udev_device_get_sysname(struct udev_device* device)
{
    return device ? device->fields[FIELD_SYSNAME] : NULL;
}

EXPORT const char* udev_device_get_devnode(struct udev_device* device)
{
    return device ? device->fields[FIELD_DEVNODE] : NULL;
}

EXPORT const char* udev_device_get_syspath(struct udev_device* device)
{
    return device ? device->syspath : NULL;
}

EXPORT struct udev_device* udev_device_get_parent(struct udev_device* device)
{
    if (!device || !device->onUsb)
        return NULL;
    if (!device->parent) {
        struct udev_device* parent = calloc(1, sizeof *parent);
        if (!parent)
            return NULL;
        parent->refs = 1;
        parent->isParent = 1;
        parent->fields[FIELD_SYSNAME] = duplicate("usb");
        device->parent = parent;
    }
    return device->parent;
}

EXPORT const char* udev_device_get_driver(struct udev_device* device)
{
    return device && device->isParent ? "cdc_acm" : NULL;
}

EXPORT const char* udev_device_get_property_value(struct udev_device* device, const char* key)
{
    if (!device || !key || device->isParent)
        return NULL;
    static const struct
    {
        const char* property;
        int field;
    } properties[] = {
        {"ID_VENDOR_ID", FIELD_VENDOR},    {"ID_MODEL_ID", FIELD_PRODUCT},
        {"ID_SERIAL_SHORT", FIELD_SERIAL}, {"ID_VENDOR", FIELD_MANUFACTURER},
        {"ID_MODEL", FIELD_MODEL},
    };
    for (size_t i = 0; i < sizeof properties / sizeof properties[0]; ++i)
        if (strcmp(key, properties[i].property) == 0)
            return device->fields[properties[i].field];
    return NULL;
}
