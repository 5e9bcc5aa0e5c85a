"""The driver's component table as the log carries it: a two-digit id per interface."""

import numpy

COMPONENT_NAMES = {
    1: "USB_X_R_2",
    2: "USB_X_R_1",
    3: "STORAGE_SSD",
    4: "POWER_THERMAL",
    5: "BATTERY",
    6: "WIFI",
    7: "MBB",
    8: "DISPLAY_CTLR",
    9: "USB_X_L_1",
    10: "DISPLAY_BACKLIGHT",
    11: "USB_X_L_2",
    12: "USB_CTLR",
    13: "STORAGE_HDD",
    14: "STORAGE_ROM",
    15: "USB_CTLR_1",
    16: "USB_CTLR_2",
    17: "USB_X_L_3",
    18: "POWER_THERMAL_1",
    19: "STORAGE_SSD_1",
    20: "POWER_THERMAL_2",
    21: "POWER_BACKLIGHT",
    22: "STORAGE_SSD_2",
}

# The service writes ff for a name its table lacks, and 00 for an interface it
# has not identified yet (a recovery that stopped part way).
UNKNOWN_ID = 0xFF
UNIDENTIFIED_ID = 0x00


def is_valid_component_id(component_id):
    return component_id in COMPONENT_NAMES or component_id in (UNKNOWN_ID, UNIDENTIFIED_ID)


def component_name(component_id):
    if component_id == UNKNOWN_ID:
        return "unknown"
    if component_id == UNIDENTIFIED_ID:
        return "unidentified"
    return COMPONENT_NAMES.get(component_id, "id %02x" % component_id)


def _valid_id_table():
    table = numpy.zeros(256, bool)
    table[[*COMPONENT_NAMES, UNKNOWN_ID, UNIDENTIFIED_ID]] = True
    return table


# Indexed by an id byte: whether the service can write it.
VALID_IDS = _valid_id_table()
