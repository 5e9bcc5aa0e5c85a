/*
 * tarnpwr.sys: a simulated power-monitor driver for development and tests.
 *
 * A root-enumerated WDM function driver. Each devnode publishes one device
 * interface of the power-monitor class and answers its four requests from
 * the behaviour model (simdev_model.c); what a devnode answers comes from
 * values the installer stored in its hardware key ("Device Parameters").
 *
 * Removal: surprise removal or removal disables the interface and makes
 * every later request on a handle still open fail with
 * STATUS_DEVICE_NOT_CONNECTED (ERROR_DEVICE_NOT_CONNECTED); removal waits
 * for requests in flight through the remove lock. Windows sends the removal
 * request only after the last handle is closed, Wine sends it at once; so
 * when handles are still open the device object stays in the stack, failing
 * their requests as Windows' surprise-removed device would, and is deleted
 * when the driver unloads. Deleting it from the last close request instead
 * is not safe: the dispatcher touches the device object after the call.
 */
#include <ddk/wdm.h>

#include "simdev_model.h"

/* "Tprl" as it shows in pool dumps. */
#define TARNPWR_REMOVE_LOCK_TAG ((ULONG)'T' | ((ULONG)'p' << 8) | ((ULONG)'r' << 16) | ((ULONG)'l' << 24))

static const GUID tarnpwr_interface_class = TARNPWR_INTERFACE_GUID_INIT;

typedef struct tarnpwr_device {
  DEVICE_OBJECT *self;
  DEVICE_OBJECT *lower;
  DEVICE_OBJECT *pdo;
  IO_REMOVE_LOCK remove_lock;
  UNICODE_STRING interface_link;
  volatile LONG interface_enabled;
  volatile LONG gone; /* set at surprise removal or removal; never cleared */
  volatile LONG open_handles;
  KSPIN_LOCK model_lock;
  simdev_device model;
} tarnpwr_device;

#define LOG(...) DbgPrint("tarnpwr: " __VA_ARGS__)

/* Wine's DbgPrint knows neither %wZ nor 64-bit conversions, so counted
 * strings and 64-bit numbers are turned into plain text first. */
typedef struct text {
  char chars[160];
} text;

static text text_of(const UNICODE_STRING *string) {
  text result;
  ULONG units = string->Length / sizeof(WCHAR), i;
  for (i = 0; i < units && i + 1 < sizeof result.chars; ++i) {
    WCHAR c = string->Buffer[i];
    result.chars[i] = (char)(c >= 0x20 && c < 0x7F ? c : '?');
  }
  result.chars[i] = 0;
  return result;
}

static text text_of_u64(uint64_t value) {
  text result;
  char digits[21];
  int count = 0;
  do {
    digits[count++] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  for (int i = 0; i < count; ++i) result.chars[i] = digits[count - 1 - i];
  result.chars[count] = 0;
  return result;
}

static tarnpwr_device *device_of(DEVICE_OBJECT *device_object) {
  return (tarnpwr_device *)device_object->DeviceExtension;
}

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* ---- configuration from the devnode's hardware key ---------------------- */

typedef struct value_buffer {
  KEY_VALUE_PARTIAL_INFORMATION info;
  UCHAR data[2 * (TARNPWR_NAME_MAX + 1) + 16];
} value_buffer;

/* Reads one value of the expected type; FALSE when absent or of another type. */
static BOOLEAN query_value(HANDLE key, const WCHAR *name, ULONG type, value_buffer *buffer) {
  UNICODE_STRING value_name;
  ULONG length = 0;
  RtlInitUnicodeString(&value_name, name);
  NTSTATUS status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, buffer, sizeof *buffer, &length);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return FALSE;
  if (!NT_SUCCESS(status) || buffer->info.Type != type) {
    LOG("device parameter %s ignored (status %08lx, type %lu)\n", text_of(&value_name).chars, (unsigned long)status,
        NT_SUCCESS(status) ? (unsigned long)buffer->info.Type : 0ul);
    return FALSE;
  }
  return TRUE;
}

static void read_dword(HANDLE key, const WCHAR *name, uint32_t *target) {
  value_buffer buffer;
  if (query_value(key, name, REG_DWORD, &buffer) && buffer.info.DataLength >= 4)
    RtlCopyMemory(target, buffer.info.Data, 4);
}

static void read_qword(HANDLE key, const WCHAR *name, uint64_t *target) {
  value_buffer buffer;
  if (query_value(key, name, REG_QWORD, &buffer) && buffer.info.DataLength >= 8)
    RtlCopyMemory(target, buffer.info.Data, 8);
}

static void read_component(HANDLE key, simdev_config *config) {
  value_buffer buffer;
  if (!query_value(key, L"Component", REG_SZ, &buffer)) return;
  ULONG units = buffer.info.DataLength / 2;
  if (!simdev_config_set_component(config, (const uint16_t *)buffer.info.Data, units))
    LOG("component name longer than %u units, cut\n", TARNPWR_NAME_MAX);
}

static void read_configuration(DEVICE_OBJECT *pdo, simdev_config *config) {
  HANDLE key;
  simdev_config_init(config);
  NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) {
    LOG("no device parameters (status %08lx), using defaults\n", (unsigned long)status);
    return;
  }
  uint32_t check = config->check;
  read_component(key, config);
  read_dword(key, L"Check", &check);
  config->check = (uint16_t)check;
  read_qword(key, L"Reading0Start", &config->reading[0].start);
  read_qword(key, L"Reading0Step", &config->reading[0].step);
  read_qword(key, L"Reading1Start", &config->reading[1].start);
  read_qword(key, L"Reading1Step", &config->reading[1].step);
  read_dword(key, L"FailRequest", &config->fail_request);
  read_dword(key, L"FailError", &config->fail_error);
  ZwClose(key);
}

/* ---- interface state ---------------------------------------------------- */

static void enable_interface(tarnpwr_device *device) {
  if (InterlockedCompareExchange(&device->interface_enabled, 1, 0) != 0) return;
  NTSTATUS status = IoSetDeviceInterfaceState(&device->interface_link, TRUE);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&device->interface_enabled, 0);
    LOG("cannot enable %s (status %08lx)\n", text_of(&device->interface_link).chars, (unsigned long)status);
    return;
  }
  LOG("enabled %s\n", text_of(&device->interface_link).chars);
}

static void disable_interface(tarnpwr_device *device) {
  if (InterlockedCompareExchange(&device->interface_enabled, 0, 1) != 1) return;
  IoSetDeviceInterfaceState(&device->interface_link, FALSE);
  LOG("disabled %s\n", text_of(&device->interface_link).chars);
}

static void mark_gone(tarnpwr_device *device) {
  InterlockedExchange(&device->gone, 1);
  disable_interface(device);
}

/* ---- create, close, device control ------------------------------------ */

/*
 * Wine 8 opens a device file without waiting for the driver's answer to the
 * create request, so a refused open still hands the caller a handle. Such a
 * handle is marked through its file object and every request on it fails
 * with the status the open was refused with; on Windows the open itself
 * fails and the mark is never seen.
 */
#define OPEN_REFUSED_MARK ((void *)(ULONG_PTR)0x7A4E4F50u)

static NTSTATUS refused_open_status(const tarnpwr_device *device, const IO_STACK_LOCATION *stack) {
  if (!stack->FileObject || stack->FileObject->FsContext2 != OPEN_REFUSED_MARK) return STATUS_SUCCESS;
  return (NTSTATUS)simdev_open_status(&device->model);
}

static NTSTATUS dispatch_create(DEVICE_OBJECT *device_object, IRP *irp) {
  tarnpwr_device *device = device_of(device_object);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = IoAcquireRemoveLock(&device->remove_lock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  if (device->gone)
    status = STATUS_DEVICE_NOT_CONNECTED;
  else
    status = (NTSTATUS)simdev_open_status(&device->model);
  /* Counted while the remove lock is held, so removal sees every handle. */
  if (NT_SUCCESS(status))
    InterlockedIncrement(&device->open_handles);
  else if (stack->FileObject && !device->gone)
    stack->FileObject->FsContext2 = OPEN_REFUSED_MARK;
  IoReleaseRemoveLock(&device->remove_lock, irp);
  return complete(irp, status, 0);
}

static NTSTATUS dispatch_cleanup(DEVICE_OBJECT *device_object, IRP *irp) {
  (void)device_object;
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatch_close(DEVICE_OBJECT *device_object, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  if (!stack->FileObject || stack->FileObject->FsContext2 != OPEN_REFUSED_MARK)
    InterlockedDecrement(&device_of(device_object)->open_handles);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatch_device_control(DEVICE_OBJECT *device_object, IRP *irp) {
  tarnpwr_device *device = device_of(device_object);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = IoAcquireRemoveLock(&device->remove_lock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);

  uint32_t written = 0;
  if (device->gone) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else if ((status = refused_open_status(device, stack)) != STATUS_SUCCESS) {
    /* a handle Wine gave out although the open was refused */
  } else {
    KIRQL irql;
    KeAcquireSpinLock(&device->model_lock, &irql);
    status =
        (NTSTATUS)simdev_control(&device->model, stack->Parameters.DeviceIoControl.IoControlCode,
                                 irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength, &written);
    KeReleaseSpinLock(&device->model_lock, irql);
  }
  IoReleaseRemoveLock(&device->remove_lock, irp);
  return complete(irp, status, written);
}

/* ---- plug and play ------------------------------------------------------ */

static NTSTATUS signal_completion(DEVICE_OBJECT *device_object, IRP *irp, void *context) {
  (void)device_object;
  (void)irp;
  KeSetEvent((KEVENT *)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the IRP down and waits for the lower driver to finish with it. */
static NTSTATUS forward_and_wait(tarnpwr_device *device, IRP *irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, signal_completion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(device->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS pass_down(tarnpwr_device *device, IRP *irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(device->lower, irp);
}

static NTSTATUS start_device(tarnpwr_device *device, IRP *irp) {
  NTSTATUS status = forward_and_wait(device, irp);
  if (NT_SUCCESS(status)) enable_interface(device);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void detach_and_delete(tarnpwr_device *device) {
  if (device->lower) IoDetachDevice(device->lower);
  device->lower = NULL;
  LOG("deleted %s\n", text_of(&device->interface_link).chars);
  RtlFreeUnicodeString(&device->interface_link);
  IoDeleteDevice(device->self);
}

static NTSTATUS remove_device(tarnpwr_device *device, IRP *irp) {
  mark_gone(device);
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = pass_down(device, irp);
  /* Requests in flight still hold the lock; wait for them to finish. */
  IoReleaseRemoveLockAndWait(&device->remove_lock, irp);
  if (device->open_handles == 0) {
    detach_and_delete(device);
  } else {
    LOG("removed %s with %ld handle(s) open; kept until unload\n", text_of(&device->interface_link).chars,
        (long)device->open_handles);
  }
  return status;
}

static NTSTATUS dispatch_pnp(DEVICE_OBJECT *device_object, IRP *irp) {
  tarnpwr_device *device = device_of(device_object);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = IoAcquireRemoveLock(&device->remove_lock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: status = start_device(device, irp); break;
    case IRP_MN_REMOVE_DEVICE: return remove_device(device, irp); /* the remove lock is released there */
    case IRP_MN_SURPRISE_REMOVAL:
      mark_gone(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = pass_down(device, irp);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = pass_down(device, irp);
      break;
    default: status = pass_down(device, irp); break;
  }
  IoReleaseRemoveLock(&device->remove_lock, irp);
  return status;
}

static NTSTATUS dispatch_power(DEVICE_OBJECT *device_object, IRP *irp) {
  tarnpwr_device *device = device_of(device_object);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(device->lower, irp);
}

static NTSTATUS dispatch_pass_down(DEVICE_OBJECT *device_object, IRP *irp) {
  return pass_down(device_of(device_object), irp);
}

/* ---- driver ------------------------------------------------------------- */

static void describe(const tarnpwr_device *device) {
  const simdev_config *config = &device->model.config;
  UNICODE_STRING name;
  name.Buffer = (WCHAR *)config->component;
  name.Length = (USHORT)(2 * simdev_component_length(config));
  name.MaximumLength = name.Length;
  LOG("%s: component \"%s\", check %u, reading0 %s step %s, reading1 %s step %s, fail %lu/%lu\n",
      text_of(&device->interface_link).chars, text_of(&name).chars, (unsigned)config->check,
      text_of_u64(config->reading[0].start).chars, text_of_u64(config->reading[0].step).chars,
      text_of_u64(config->reading[1].start).chars, text_of_u64(config->reading[1].step).chars,
      (unsigned long)config->fail_request, (unsigned long)config->fail_error);
}

static NTSTATUS add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
  DEVICE_OBJECT *fdo = NULL;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(tarnpwr_device), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) {
    LOG("IoCreateDevice failed (status %08lx)\n", (unsigned long)status);
    return status;
  }
  tarnpwr_device *device = device_of(fdo);
  RtlZeroMemory(device, sizeof *device);
  device->self = fdo;
  device->pdo = pdo;
  IoInitializeRemoveLock(&device->remove_lock, TARNPWR_REMOVE_LOCK_TAG, 0, 0);
  KeInitializeSpinLock(&device->model_lock);

  simdev_config config;
  read_configuration(pdo, &config);
  simdev_device_init(&device->model, &config);

  status = IoRegisterDeviceInterface(pdo, &tarnpwr_interface_class, NULL, &device->interface_link);
  if (!NT_SUCCESS(status)) {
    LOG("IoRegisterDeviceInterface failed (status %08lx)\n", (unsigned long)status);
    IoDeleteDevice(fdo);
    return status;
  }
  device->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!device->lower) {
    LOG("cannot attach to the device stack\n");
    RtlFreeUnicodeString(&device->interface_link);
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  describe(device);
  return STATUS_SUCCESS;
}

/* Deletes the devices that were removed while handles were open. */
static void driver_unload(DRIVER_OBJECT *driver) {
  while (driver->DeviceObject) detach_and_delete(device_of(driver->DeviceObject));
  LOG("unloaded\n");
}

NTSTATUS DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path) {
  (void)registry_path;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
  driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_pass_down;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = driver_unload;
  LOG("loaded\n");
  return STATUS_SUCCESS;
}
