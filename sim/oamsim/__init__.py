"""Virtual zr400x chip: sandbox, driver stand-ins and their record."""

from .chip import (DUMP_CHUNK, ChipTimeout, Empty, Event, Gate, Hangup, NetlinkMsg, ReadError, Stall,
                   VirtualChip, dump_stream, region_bytes)
from .load import SeqCheck, check_stream, payload, record_payloads, stored_payloads
from .platform import *  # noqa: F401,F403 - node names, requests, models, dump lists
from .sandbox import (DaemonProcess, Sandbox, default_binary, default_loadgen, default_preload, exec_prefix,
                      target_cc, target_command)
