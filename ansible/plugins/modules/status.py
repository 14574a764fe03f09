#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026 Kalvoran
# Proprietary: see LICENSE in the collection.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: status
short_description: Read every agent's status text and its history in the ledger
description:
  - Reads every agent's status text once (C(kalvoran-fleet status)) and, from the ledger, the
    latest result of each action at each agent (C(kalvoran-fleet history --json)).
  - Never changes anything on the agents, so it runs in check mode as well and never reports
    C(changed). The run is recorded in the ledger like any other.
  - Fails when an agent's status could not be read, naming those agents.
version_added: 1.0.0
author: Kalvoran Field Tools (@kalvoran)
extends_documentation_fragment: kalvoran.agents.fleet
options:
  history:
    description: Also read each agent's history from the ledger.
    type: bool
    default: true
attributes:
  check_mode:
    support: full
    description: Reads the agents as outside check mode; nothing is sent.
  diff_mode:
    support: none
'''

EXAMPLES = r'''
- name: Where every card of the site stands
  kalvoran.agents.status:
    inventory: /etc/kalvoran/site.txt
    ledger: /var/lib/kalvoran/ledger.sqlite3
  register: site

- name: The cards that do not report a good image
  ansible.builtin.debug:
    msg: "{{ site.agents | rejectattr('status', 'search', 'is OK') | map(attribute='address') }}"
'''

RETURN = r'''
agents:
  description:
    - One dict per agent with the fleet's report fields (C(address), C(label), C(result),
      C(reason), C(status) the status text, ...) and C(history), the ledger's entries of that
      agent (C(action), C(type), C(result), C(reason), C(file), C(sha256), C(run), C(started),
      C(ended), ...), empty when there is no ledger yet.
  returned: always
  type: list
  elements: dict
  sample: [{address: 10.4.2.17, label: rack-3, result: 0, status: "Memory compare Flash/Ram is OK",
            history: [{action: send, type: image, result: 0, file: app-4.2.bin, run: 12}]}]
failed_agents:
  description: The addresses whose status could not be read.
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


def main():
    module = AnsibleModule(
        argument_spec=fleet.argument_spec(history=dict(type='bool', default=True)),
        supports_check_mode=True,
        **fleet.AGENT_CHOICE
    )
    runner = fleet.Fleet(module)
    report = os.path.join(module.tmpdir, 'report.json')
    limit = runner.limit()
    argv = runner.options() + ['--report', report, 'status', runner.inventory]
    rc, out, err = runner.run(argv, limit)
    runner.timed_out(rc, limit, dict(changed=False))
    rows = runner.report(report, rc, out, err)
    history = fleet.history_by_agent(runner.history() if module.params['history'] else [])
    for row in rows:
        row['history'] = history.get(row['address'], [])
    result = dict(changed=False, rc=rc, agents=rows,
                  failed_agents=[row['address'] for row in rows if row.get('result') != 0])
    message = fleet.failure_message(rows)
    if message:
        module.fail_json(msg=message, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
