"""A generated fleet collected as one folder per machine, with a few machines that misbehave."""

from datetime import datetime, timedelta, timezone

from conftest import LOCAL_HEADER, UPLOAD_HEADER, log_bytes, row

COMPONENTS = (3, 5, 6)  # STORAGE_SSD, BATTERY, WIFI
START = datetime(2024, 3, 1, 8, 0, tzinfo=timezone.utc)
# Which machine shows what; the others sample every minute without a fault.
STOPPED = 7  # no row for 90 minutes: one hour of its three without any
RESET = 13  # every counter went down at once (the driver restarted)
UNPLUGGED = 21  # WIFI gone for good
BUSY = 42  # BATTERY's reading0 moves a hundred times faster


def machine_name(number):
    return "PC%03d" % number


def _stamp(moment, offset_hours):
    local = moment + timedelta(hours=offset_hours)
    return local.strftime("%Y%m%dT%H%M%S") + "%+03d00" % offset_hours


def machine_rows(number, rows):
    offset = 9 if number % 2 else 0  # local time stamps in two zones
    lines = []
    for index in range(rows):
        if number == STOPPED and 30 <= index < 120:
            continue
        moment = START + timedelta(minutes=index, hours=number % 5)
        count = index - 60 if number == RESET and index >= 60 else index
        components = COMPONENTS[:2] if number == UNPLUGGED and index >= 80 else COMPONENTS
        entries = []
        for component in components:
            speed = 100 * (1 + number % 3) * (100 if number == BUSY and component == 5 else 1)
            entries.append((component, 1000 + speed * 60 * count, 50 * component * count))
        lines.append(row(_stamp(moment, offset), *entries))
    return lines


def write_fleet(root, machines=100, rows=180):
    """One folder per machine, as the collection recipe keeps them; returns the folders.

    Odd machines were copied flat (local log and handed-over file side by
    side), even ones with the service's own folders below ProgramData.
    """
    folders = []
    for number in range(1, machines + 1):
        folder = root / machine_name(number)
        local, drop = folder, folder
        if number % 2 == 0:
            local = folder / "ProgramData" / "Corvessan" / "TARNLog" / "LocalLog"
            drop = folder / "ProgramData" / "Corvessan" / "VORLA" / "upload"
        lines = machine_rows(number, rows)
        for path, data in ((local / "TARNLog.csv", log_bytes(LOCAL_HEADER, lines)),
                           (drop / "3001_TARNLogUpload_20240301T120000+0000.csv",
                            log_bytes(UPLOAD_HEADER, lines[::10]))):
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        folders.append(folder)
    return folders
