#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026 Kalvoran
# Proprietary: see LICENSE in the collection.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: upgrade
short_description: Send a file to a site's agents with kalvoran-fleet, each agent once
description:
  - Sends a file that is already on the host to every agent as one transfer type, by running
    C(kalvoran-fleet --skip-current --report <json> send) on the host.
  - An agent whose latest send of this type was this very file (the same SHA-256) and
    succeeded (and was verified, with I(verify)) is left alone, so a second run with the same
    file contacts nobody and changes nothing.
  - Returns what happened to every agent; fails when any agent failed, naming the agents
    grouped by result and reason.
version_added: 1.0.0
author: Kalvoran Field Tools (@kalvoran)
extends_documentation_fragment: kalvoran.agents.fleet
options:
  file:
    description:
      - The file to send, a path on the host. Copy it there first, for example with
        M(ansible.builtin.copy).
    type: path
    required: true
  type:
    description: The transfer type.
    type: str
    required: true
    choices: [image, config, command, filesystem, bootloader]
  verify:
    description:
      - After the send, read each agent's status; an agent counts as upgraded only when it
        reports C(Memory compare Flash/Ram is OK) or C(Config done) (C(--verify)).
    type: bool
    default: true
  report:
    description:
      - Also keep the fleet's report on the host at this path, as JSON or, for a name ending
        in C(.csv), as CSV. Fetch it to the controller with M(ansible.builtin.fetch).
    type: path
attributes:
  check_mode:
    support: full
    description: Runs C(kalvoran-fleet --check), which contacts no agent; C(changed) tells
      whether any agent would be sent the file.
  diff_mode:
    support: full
    description: Per agent, the file before (the ledger's latest successful send of this
      type) and after.
'''

EXAMPLES = r'''
- name: The image on the site host
  ansible.builtin.copy:
    src: images/app-4.2.bin
    dest: /var/lib/kalvoran/app-4.2.bin
    mode: "0644"

- name: Upgrade the site's cards, verified, two more tries for a card that did not answer
  kalvoran.agents.upgrade:
    file: /var/lib/kalvoran/app-4.2.bin
    type: image
    inventory: /etc/kalvoran/site.txt
    retries: 2
    ledger: /var/lib/kalvoran/ledger.sqlite3
    report: /var/lib/kalvoran/reports/upgrade.json
  register: upgrade

- name: A configuration to two named cards
  kalvoran.agents.upgrade:
    file: /tmp/site.cfg
    type: config
    agents:
      - 10.4.2.17 rack-3
      - address: 10.4.2.18
        label: rack-4
'''

RETURN = r'''
agents:
  description:
    - One dict per agent with the fields of the fleet's report, C(address), C(label),
      C(action), C(result) (0 ok, 1 no ping answer, 2 refused or cancelled, 3 network or
      protocol failure, 4 the agent reported a failed job), C(reason), C(bytes), C(seconds),
      C(attempts) and C(status).
    - In check mode C(address), C(label) and C(plan), C(send) or C(already current).
  returned: always
  type: list
  elements: dict
  sample: [{address: 10.4.2.17, label: rack-3, action: send, result: 0, reason: "",
            bytes: 1048576, seconds: 21.4, attempts: 1,
            status: "Memory compare Flash/Ram is OK"}]
upgraded:
  description: The addresses sent the file successfully (in check mode, those that would be).
  returned: always
  type: list
  elements: str
already_current:
  description: The addresses left alone because they already have this file.
  returned: always
  type: list
  elements: str
failed_agents:
  description: The addresses whose send failed.
  returned: always
  type: list
  elements: str
sha256:
  description: The SHA-256 of the file.
  returned: always
  type: str
rc:
  description: The exit code of kalvoran-fleet, 0 when every agent succeeded.
  returned: always
  type: int
stdout:
  description: What kalvoran-fleet printed.
  returned: always
  type: str
stderr:
  description: What kalvoran-fleet printed on standard error.
  returned: always
  type: str
'''

import csv
import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kalvoran.agents.plugins.module_utils import fleet


def keep_report(path, rows, source):
    if path.endswith('.csv'):
        with open(path, 'w') as stream:
            writer = csv.DictWriter(stream, fieldnames=list(fleet.REPORT_FIELDS),
                                    extrasaction='ignore')
            writer.writeheader()
            writer.writerows(rows)
    else:
        shutil.copyfile(source, path)


def diff(entries, history, sent, kind, name, sha256):
    """Per agent, the ledger's latest successful send of this type, and the file it has after."""
    latest = {}
    for entry in history:
        if entry.get('action') == 'send' and entry.get('type') == kind and entry.get('result') == 0:
            latest[entry['address']] = '%s %s' % (entry.get('file'), entry.get('sha256'))
    before, after = [], []
    for address, _ in entries:
        was = latest.get(address, '(nothing in the ledger)')
        before.append('%s %s: %s\n' % (address, kind, was))
        after.append('%s %s: %s\n' % (address, kind, '%s %s' % (name, sha256)
                                      if address in sent else was))
    return dict(before_header='ledger', after_header=name, before=''.join(before),
                after=''.join(after))


def main():
    module = AnsibleModule(
        argument_spec=fleet.argument_spec(
            file=dict(type='path', required=True),
            type=dict(type='str', required=True,
                      choices=['image', 'config', 'command', 'filesystem', 'bootloader']),
            verify=dict(type='bool', default=True),
            report=dict(type='path'),
        ),
        supports_check_mode=True,
        **fleet.AGENT_CHOICE
    )
    params = module.params
    runner = fleet.Fleet(module)
    path = params['file']
    if not os.path.isfile(path):
        module.fail_json(msg='file %s: not a file on the host (copy it there first)' % path)
    sha256 = module.sha256(path)
    history = runner.history() if module._diff else []

    argv = runner.options() + ['--skip-current']
    if params['verify']:
        argv.append('--verify')
    report = os.path.join(module.tmpdir, 'report.json')
    argv += ['--check'] if module.check_mode else ['--report', report]
    argv += ['send', params['type'], path, runner.inventory]
    limit = runner.limit(os.path.getsize(path), params['verify'])
    rc, out, err = runner.run(argv, limit)
    result = dict(rc=rc, stdout=out, stderr=err, sha256=sha256, failed_agents=[])
    runner.timed_out(rc, limit, result)

    if module.check_mode:
        if rc != 0:
            module.fail_json(msg='kalvoran-fleet --check refused the run (exit code %d): %s'
                                 % (rc, (err or out).strip()), **result)
        would, current = fleet.parse_check(out, runner.addresses)
        plan = dict((address, 'send') for address in would)
        plan.update((address, 'already current') for address in current)
        result['agents'] = [dict(address=address, label=label, plan=plan.get(address, ''))
                            for address, label in runner.entries]
        result.update(upgraded=would, already_current=current)
    else:
        rows = runner.report(report, rc, out, err)
        result['agents'] = rows
        result['already_current'] = [row['address'] for row in rows if fleet.is_current(row)]
        result['upgraded'] = [row['address'] for row in rows
                              if row.get('result') == 0 and not fleet.is_current(row)]
        result['failed_agents'] = [row['address'] for row in rows if row.get('result') != 0]
        if params['report']:
            keep_report(params['report'], rows, report)
    result['changed'] = bool(result['upgraded'])
    if module._diff:
        result['diff'] = diff(runner.entries, history, set(result['upgraded']), params['type'],
                              os.path.basename(path), sha256)
    message = fleet.failure_message(result['agents']) if not module.check_mode else None
    if message:
        module.fail_json(msg=message, **result)
    if rc != 0:
        module.fail_json(msg='kalvoran-fleet ended with exit code %d: %s'
                             % (rc, (err or out).strip()), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
