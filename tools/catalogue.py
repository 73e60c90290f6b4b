"""The program's own catalogue, read from what the catalogue-table tool (built
from fetch/) prints, so that no tool keeps a second copy of the table."""
import subprocess
import urllib.parse
from collections import namedtuple

Row = namedtuple("Row", "name url host path checksum command_id label")


def read_catalogue(table_tool):
    """Rows in the program's order: the five packages, then the extractor.
    Raises OSError or CalledProcessError if the tool does not run, and
    ValueError if what it prints is not the table."""
    out = subprocess.run([str(table_tool)], check=True, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) != 5:
            raise ValueError(f"malformed catalogue line: {line!r}")
        name, url, checksum, command_id, label = fields
        parts = urllib.parse.urlsplit(url)
        rows.append(Row(name, url, parts.hostname, parts.path, int(checksum), int(command_id), label))
    if not rows:
        raise ValueError(f"{table_tool} printed no catalogue rows")
    return rows
