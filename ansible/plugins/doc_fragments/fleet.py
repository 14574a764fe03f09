# -*- coding: utf-8 -*-
# Copyright: (c) 2026 Kalvoran
# Proprietary: see LICENSE in the collection.

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    # The options of plugins/module_utils/fleet.py FLEET_ARGS, which every module takes.
    DOCUMENTATION = r'''
options:
  agents:
    description:
      - The agents, each a string C(ADDRESS) or C(ADDRESS LABEL), or a dict with C(address)
        and C(label).
      - The module writes them to an inventory file of its own for the run.
      - Exactly one of I(agents) and I(inventory) is required.
    type: list
    elements: raw
  inventory:
    description:
      - An inventory file of kalvoran-fleet on the host, one agent a line (a dotted IPv4
        address and an optional label; C(#) starts a comment).
      - A malformed or repeated address makes kalvoran-fleet refuse the run before any agent
        is contacted, and the module fails.
    type: path
  jobs:
    description: Agents at once (C(--jobs), 1 to 1000).
    type: int
    default: 8
  retries:
    description: Runs of an agent again after a network failure or an unanswered ping
      (C(--retries), 0 to 100).
    type: int
    default: 0
  pause:
    description: At least this many seconds between two starts (C(--pause)).
    type: float
    default: 0.0
  deadline:
    description:
      - Seconds after which one attempt at one agent is ended (C(--deadline)).
      - By default kalvoran-fleet's own, from the action and the file's size (300 s, 0.02 s a
        512-byte block, 900 s more with verification or a generated configuration).
    type: float
  time_limit:
    description:
      - Seconds the whole kalvoran-fleet run may take before the module stops it.
      - By default every attempt of every agent at its deadline, I(jobs) at once, the starts
        I(pause) apart, plus 60 s. The module puts C(timeout --kill-after=30 <limit>) in front
        of kalvoran-fleet, so a hung site never hangs the play; a run stopped there is a
        failure of its own.
    type: int
  ledger:
    description:
      - The ledger of runs and results on the host (C(--ledger)).
      - By default kalvoran-fleet's own, C($XDG_STATE_HOME/kalvoran/ledger.sqlite3) of the
        remote user.
    type: path
  logs:
    description:
      - A folder on the host for the agents' status logs (C(--logs)).
      - By default they go to a temporary folder that is removed after the run.
    type: path
  blksize:
    description: Ask every agent for blocks of this many bytes (C(--blksize), 8 to 65464).
    type: int
  windowsize:
    description: Ask every agent for this many blocks in flight (C(--windowsize), 1 to 64).
    type: int
  fleet:
    description:
      - The kalvoran-fleet program, a name looked up on PATH or a path.
      - It must be version 1.1.2 or later (with C(--skip-current)); the Debian package
        C(kalvoran-tftp-client) brings it.
    type: str
    default: kalvoran-fleet
requirements:
  - kalvoran-fleet 1.1.2 or later on the host (Debian package kalvoran-tftp-client)
  - timeout from coreutils on the host
notes:
  - The modules run kalvoran-fleet with an argument list, never through a shell, and read its
    JSON report.
'''
