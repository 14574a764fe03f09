# -*- coding: utf-8 -*-
# Copyright: (c) 2026 Kalvoran
# Proprietary: see LICENSE in the collection.
"""Running kalvoran-fleet on a site host: one place for the program and its version, the
agents' inventory, the time limit, the run itself, its JSON report and its failures."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import math
import os
import re

PACKAGE = 'kalvoran-tftp-client'
MIN_VERSION = (1, 1, 2)

# The fleet's own per-attempt deadline when --deadline is not given (src/fleet/main.cpp):
# a base, 0.02 s a 512-byte block, and 900 s of status polls with --verify or configfile.
BASE_SECONDS = 300.0
BLOCK_SECONDS = 0.02
POLL_SECONDS = 900.0
# Start-up, the ledger and the report on top of the agents' deadlines; and how long timeout(1)
# waits after its SIGTERM (the fleet then cancels the agents and writes its report) to kill.
MARGIN_SECONDS = 60
KILL_AFTER_SECONDS = 30
TIMED_OUT = (124, 137)

RESULTS = {
    1: 'no ping answer',
    2: 'refused or cancelled',
    3: 'network or protocol failure',
    4: 'the agent reported a failed job',
}
CURRENT_PREFIX = 'already current: '
REPORT_FIELDS = ('address', 'label', 'action', 'result', 'reason', 'bytes', 'seconds', 'attempts',
                 'status')
ADDRESS = re.compile(r'^(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}$')

# The options every module takes; the doc fragment kalvoran.agents.fleet documents them.
FLEET_ARGS = dict(
    agents=dict(type='list', elements='raw'),
    inventory=dict(type='path'),
    jobs=dict(type='int', default=8),
    retries=dict(type='int', default=0),
    pause=dict(type='float', default=0.0),
    deadline=dict(type='float'),
    time_limit=dict(type='int'),
    ledger=dict(type='path'),
    logs=dict(type='path'),
    blksize=dict(type='int'),
    windowsize=dict(type='int'),
    fleet=dict(type='str', default='kalvoran-fleet'),
)
AGENT_CHOICE = dict(mutually_exclusive=[('agents', 'inventory')],
                    required_one_of=[('agents', 'inventory')])


def argument_spec(**extra):
    spec = dict((name, dict(option)) for name, option in FLEET_ARGS.items())
    spec.update(extra)
    return spec


def agent_entries(agents):
    """The agents option as (address, label) pairs: "ADDRESS", "ADDRESS LABEL" or a dict with
    address and label. Raises ValueError naming the first entry that is neither."""
    entries = []
    for index, agent in enumerate(agents, 1):
        if isinstance(agent, dict):
            unknown = sorted(set(agent) - {'address', 'label'})
            if unknown or 'address' not in agent:
                raise ValueError('agents entry %d: a dict takes address and label, got %s'
                                 % (index, ', '.join(sorted(agent)) or 'nothing'))
            address = str(agent['address']).strip()
            label = str(agent.get('label') or '').strip()
        elif isinstance(agent, str):
            parts = agent.strip().split(None, 1)
            address = parts[0] if parts else ''
            label = parts[1].strip() if len(parts) > 1 else ''
        else:
            raise ValueError('agents entry %d: neither a string nor a dict' % index)
        if not ADDRESS.match(address):
            raise ValueError('agents entry %d: "%s" is not a dotted IPv4 address' % (index, address))
        if '\n' in label or '#' in label:
            raise ValueError('agents entry %d: a label holds no line break and no #' % index)
        entries.append((address, label))
    return entries


def parse_inventory(text):
    """The fleet's inventory format, read only to know the agents' names: one agent a line, an
    address and an optional label, # starting a comment. The fleet itself judges the lines."""
    entries = []
    for line in text.splitlines():
        line = line.split('#', 1)[0].strip()
        if line:
            parts = line.split(None, 1)
            entries.append((parts[0], parts[1].strip() if len(parts) > 1 else ''))
    return entries


def inventory_text(entries):
    return ''.join('%s %s\n' % (address, label) if label else address + '\n'
                   for address, label in entries)


def default_deadline(file_size=0, poll=False):
    seconds = BASE_SECONDS
    if file_size > 0:
        seconds += BLOCK_SECONDS * (file_size / 512.0 + 1)
    if poll:
        seconds += POLL_SECONDS
    return seconds


def time_limit(agents, jobs, retries, pause, deadline):
    """Seconds the whole run may take: every attempt of every agent at its deadline, --jobs at
    once, the starts --pause apart, and a margin for the start and the report."""
    attempts = max(agents, 1) * (retries + 1)
    waves = math.ceil(attempts / float(max(jobs, 1)))
    return int(math.ceil(waves * deadline + attempts * pause)) + MARGIN_SECONDS


def parse_version(text):
    match = re.search(r'kalvoran-fleet (\d+)\.(\d+)\.(\d+)', text or '')
    return tuple(int(part) for part in match.groups()) if match else None


def version_problem(version_out, help_out):
    """Why this kalvoran-fleet cannot serve the modules, or None."""
    version = parse_version(version_out)
    wanted = '.'.join(str(part) for part in MIN_VERSION)
    if version is None:
        return 'it printed no version'
    if version < MIN_VERSION:
        return 'it is %s, the modules need %s or later' % ('.'.join(map(str, version)), wanted)
    if '--skip-current' not in (help_out or ''):
        return 'it has no --skip-current (the modules need %s or later)' % wanted
    return None


def read_report(path):
    """The rows of a JSON report, or None when the fleet wrote none (refused before the run)."""
    try:
        with open(path, 'rb') as stream:
            rows = json.loads(stream.read().decode('utf-8'))
    except (IOError, OSError):
        return None
    if not isinstance(rows, list) or not all(isinstance(row, dict) and 'address' in row
                                            for row in rows):
        raise ValueError('%s is not a report of kalvoran-fleet' % path)
    return rows


def is_current(row):
    return row.get('result') == 0 and str(row.get('reason', '')).startswith(CURRENT_PREFIX)


def failure_message(rows):
    """"2 of 9 agents failed: ..." with the agents grouped by result and reason, or None."""
    failed = [row for row in rows if row.get('result') != 0]
    if not failed:
        return None
    groups = {}
    for row in failed:
        key = (row.get('result'), row.get('reason') or '')
        groups.setdefault(key, []).append(row)
    parts = []
    for (result, reason), group in sorted(groups.items(), key=lambda item: (-len(item[1]), item[0])):
        names = ', '.join(row['address'] + (' (%s)' % row['label'] if row.get('label') else '')
                          for row in group)
        text = '%s %s' % (result, RESULTS.get(result, 'failed'))
        if reason:
            text += ', ' + reason
        parts.append('%s: %s' % (text, names))
    return '%d of %d agents failed: %s' % (len(failed), len(rows), '; '.join(parts))


def parse_check(stdout, addresses):
    """A --check run's plan: the agents that would be contacted, and those --skip-current
    leaves alone, from the lines that start with an agent's address."""
    wanted = set(addresses)
    would, current = [], []
    for line in (stdout or '').splitlines():
        words = line.split(None, 1)
        if not words or words[0] not in wanted:
            continue
        (current if 'skipped, already current' in line else would).append(words[0])
    return would, current


def history_by_agent(entries):
    grouped = {}
    for entry in entries or []:
        grouped.setdefault(entry.get('address'), []).append(entry)
    return grouped


class Fleet(object):
    """kalvoran-fleet for one module run: found, checked, its inventory written."""

    def __init__(self, module):
        self.module = module
        params = module.params
        self.program = self._find(params['fleet'])
        self._check_version()
        self.timeout = module.get_bin_path('timeout', required=True)
        self._check_ranges()
        if params['agents'] is not None:
            try:
                self.entries = agent_entries(params['agents'])
            except ValueError as error:
                module.fail_json(msg=str(error))
            if not self.entries:
                module.fail_json(msg='agents is empty: name at least one agent')
            self.inventory = os.path.join(module.tmpdir, 'agents.txt')
            with open(self.inventory, 'w') as stream:
                stream.write(inventory_text(self.entries))
        else:
            self.inventory = params['inventory']
            try:
                with open(self.inventory) as stream:
                    self.entries = parse_inventory(stream.read())
            except (IOError, OSError) as error:
                module.fail_json(msg='inventory %s: %s' % (self.inventory, error))
        self.addresses = [address for address, _ in self.entries]
        self.logs = params['logs'] or os.path.join(module.tmpdir, 'logs')

    def _find(self, name):
        if os.sep in name:
            found = name if os.path.isfile(name) and os.access(name, os.X_OK) else None
        else:
            found = self.module.get_bin_path(name)
        if not found:
            self.module.fail_json(msg='%s: no such program; install the Debian package %s '
                                      '(it brings kalvoran-fleet)' % (name, PACKAGE))
        return found

    def _check_version(self):
        rc, version_out, err = self.module.run_command([self.program, '--version'])
        rc, help_out, err = self.module.run_command([self.program, '--help'])
        problem = version_problem(version_out, help_out)
        if problem:
            self.module.fail_json(msg='%s is too old: %s; upgrade the Debian package %s'
                                      % (self.program, problem, PACKAGE))

    def _check_ranges(self):
        params = self.module.params
        for name, low, high in (('jobs', 1, 1000), ('retries', 0, 100), ('blksize', 8, 65464),
                                ('windowsize', 1, 64)):
            value = params[name]
            if value is not None and not low <= value <= high:
                self.module.fail_json(msg='%s must lie in %d..%d, got %d' % (name, low, high, value))
        for name in ('pause', 'deadline'):
            if params[name] is not None and params[name] < 0:
                self.module.fail_json(msg='%s must not be negative' % name)

    def options(self):
        params = self.module.params
        argv = ['--jobs', str(params['jobs']), '--retries', str(params['retries']),
                '--logs', self.logs]
        if params['pause']:
            argv += ['--pause', '%g' % params['pause']]
        if params['deadline']:
            argv += ['--deadline', '%g' % params['deadline']]
        for name in ('blksize', 'windowsize'):
            if params[name] is not None:
                argv += ['--' + name, str(params[name])]
        return argv + self.ledger_options()

    def ledger_options(self):
        ledger = self.module.params['ledger']
        return ['--ledger', ledger] if ledger else []

    def limit(self, file_size=0, poll=False):
        params = self.module.params
        if params['time_limit']:
            return params['time_limit']
        deadline = params['deadline'] or default_deadline(file_size, poll)
        return time_limit(len(self.entries), params['jobs'], params['retries'], params['pause'],
                          deadline)

    def run(self, argv, limit):
        """Runs the fleet with these arguments under timeout(1); a run that outlives the limit
        ends the module with a failure of its own."""
        command = [self.timeout, '--kill-after=%d' % KILL_AFTER_SECONDS, str(limit),
                   self.program] + argv
        rc, out, err = self.module.run_command(command)
        return rc, out, err

    def timed_out(self, rc, limit, result):
        if rc in TIMED_OUT:
            result = dict(result, rc=rc)
            self.module.fail_json(
                msg='kalvoran-fleet did not end within the time limit of %d s (from the '
                    'deadline, jobs, retries and pause; time_limit sets another) and was %s'
                    % (limit, 'stopped' if rc == 124 else 'killed'), **result)

    def report(self, path, rc, out, err):
        try:
            rows = read_report(path)
        except ValueError as error:
            self.module.fail_json(msg=str(error), rc=rc, stdout=out, stderr=err)
        if rows is None:
            self.module.fail_json(msg='kalvoran-fleet refused the run (exit code %d): %s'
                                      % (rc, (err or out).strip()), rc=rc, stdout=out, stderr=err)
        return rows

    def history(self):
        """The ledger's latest entries of these agents, or [] when there is no ledger yet."""
        argv = [self.program] + self.ledger_options() + ['history', '--json', '--inventory',
                                                         self.inventory]
        rc, out, err = self.module.run_command(argv)
        if rc == 2 and 'no ledger there' in err:
            return []
        if rc != 0:
            self.module.fail_json(msg='kalvoran-fleet history failed (exit code %d): %s'
                                      % (rc, err.strip()), rc=rc)
        try:
            return json.loads(out)
        except ValueError:
            self.module.fail_json(msg='kalvoran-fleet history printed no JSON', stdout=out)
