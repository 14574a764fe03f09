#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026 Kalvoran
# Proprietary: see LICENSE in the collection.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: backup
short_description: Back up every agent's EEPROM or generated configuration into a folder
description:
  - Fetches every agent's EEPROM image (C(kalvoran-fleet eeprom)) or sends a request file and
    fetches the configuration the agent generates (C(kalvoran-fleet configfile)) into a folder
    on the host, as C(<address>.eeprom.bin) or C(<address>.config.cfg).
  - The fleet fetches into a temporary folder; a backup replaces the one in I(folder) only
    when it differs, so C(changed) tells that some agent's backup is new or differs.
  - Successful backups are kept even when other agents fail; the module then fails naming
    those agents.
version_added: 1.0.0
author: Kalvoran Field Tools (@kalvoran)
extends_documentation_fragment: kalvoran.agents.fleet
options:
  folder:
    description: The folder on the host for the backups; created when missing.
    type: path
    required: true
  what:
    description: The EEPROM image, or the configuration the agent generates after a request.
    type: str
    choices: [eeprom, config]
    default: eeprom
  request:
    description: The request file on the host to send before fetching the configuration.
      Required when I(what=config).
    type: path
attributes:
  check_mode:
    support: full
    description: Runs C(kalvoran-fleet --check), which contacts no agent; C(changed) tells
      whether any agent has no backup in I(folder) yet.
  diff_mode:
    support: none
'''

EXAMPLES = r'''
- name: Every card's EEPROM into the site's backup folder
  kalvoran.agents.backup:
    folder: /var/lib/kalvoran/backup
    inventory: /etc/kalvoran/site.txt
  register: backup

- name: The generated configurations of two cards
  kalvoran.agents.backup:
    what: config
    request: /var/lib/kalvoran/request.cfg
    folder: /var/lib/kalvoran/configs
    agents: [10.4.2.17, 10.4.2.18]
'''

RETURN = r'''
files:
  description: One dict per agent backed up, with C(address), C(label), C(path), C(sha256) and
    C(changed) (new or different from the backup that was there).
  returned: always
  type: list
  elements: dict
  sample: [{address: 10.4.2.17, label: rack-3, path: /var/lib/kalvoran/backup/10.4.2.17.eeprom.bin,
            sha256: 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08, changed: true}]
agents:
  description: The fleet's report, one dict per agent (see M(kalvoran.agents.upgrade)).
  returned: unless in check mode
  type: list
  elements: dict
failed_agents:
  description: The addresses whose backup failed.
  returned: always
  type: list
  elements: str
rc:
  description: The exit code of kalvoran-fleet.
  returned: always
  type: int
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kalvoran.agents.plugins.module_utils import fleet

SUFFIX = {'eeprom': '.eeprom.bin', 'config': '.config.cfg'}


def main():
    module = AnsibleModule(
        argument_spec=fleet.argument_spec(
            folder=dict(type='path', required=True),
            what=dict(type='str', choices=['eeprom', 'config'], default='eeprom'),
            request=dict(type='path'),
        ),
        supports_check_mode=True,
        required_if=[('what', 'config', ('request',))],
        **fleet.AGENT_CHOICE
    )
    params = module.params
    runner = fleet.Fleet(module)
    folder = params['folder']
    stage = os.path.join(module.tmpdir, 'fetched')
    os.mkdir(stage)
    result = dict(changed=False, files=[], failed_agents=[])

    argv = runner.options()
    report = os.path.join(module.tmpdir, 'report.json')
    argv += ['--check'] if module.check_mode else ['--report', report]
    if params['what'] == 'config':
        argv += ['configfile', params['request'], stage, runner.inventory]
        limit = runner.limit(os.path.getsize(params['request']), True)
    else:
        argv += ['eeprom', stage, runner.inventory]
        limit = runner.limit()
    rc, out, err = runner.run(argv, limit)
    result['rc'] = rc
    runner.timed_out(rc, limit, result)

    if module.check_mode:
        if rc != 0:
            module.fail_json(msg='kalvoran-fleet --check refused the run (exit code %d): %s'
                                 % (rc, (err or out).strip()), **result)
        for address, label in runner.entries:
            path = os.path.join(folder, address + SUFFIX[params['what']])
            there = os.path.isfile(path)
            result['files'].append(dict(address=address, label=label, path=path,
                                        sha256=module.sha256(path) if there else None,
                                        changed=not there))
        result['changed'] = any(entry['changed'] for entry in result['files'])
        module.exit_json(**result)

    rows = runner.report(report, rc, out, err)
    result['agents'] = rows
    if not os.path.isdir(folder):
        os.makedirs(folder)
        result['changed'] = True
    for row in rows:
        if row.get('result') != 0:
            result['failed_agents'].append(row['address'])
            continue
        name = row['address'] + SUFFIX[params['what']]
        fetched, path = os.path.join(stage, name), os.path.join(folder, name)
        sha256 = module.sha256(fetched)
        differs = not os.path.isfile(path) or module.sha256(path) != sha256
        if differs:
            module.atomic_move(fetched, path)
            result['changed'] = True
        result['files'].append(dict(address=row['address'], label=row.get('label', ''),
                                    path=path, sha256=sha256, changed=differs))
    message = fleet.failure_message(rows)
    if message:
        module.fail_json(msg=message, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
