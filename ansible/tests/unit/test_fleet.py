# The modules' argument handling, the reading of kalvoran-fleet's reports and output, and the
# three modules run in-process against a scripted stand-in for kalvoran-fleet (fake_fleet.py).
import json
import os
import shutil
import sys
import time

import pytest
import yaml

from ansible.module_utils import basic
from ansible_collections.kalvoran.agents.plugins.doc_fragments.fleet import ModuleDocFragment
from ansible_collections.kalvoran.agents.plugins.module_utils import fleet
from ansible_collections.kalvoran.agents.plugins.modules import backup, status, upgrade

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fake_fleet.py')
MODULES = (upgrade, backup, status)


@pytest.mark.parametrize('agents, expected', [
    (['10.0.0.1', ' 10.0.0.2  rack 3 ', {'address': '10.0.0.3'},
      {'address': '10.0.0.4', 'label': 'north'}],
     [('10.0.0.1', ''), ('10.0.0.2', 'rack 3'), ('10.0.0.3', ''), ('10.0.0.4', 'north')]),
    (['10.0.0.256'], 'not a dotted IPv4 address'),
    (['10.0.0'], 'not a dotted IPv4 address'),
    ([''], 'not a dotted IPv4 address'),
    ([{'label': 'x'}], 'a dict takes address and label'),
    ([{'address': '10.0.0.1', 'lable': 'x'}], 'a dict takes address and label'),
    ([17], 'neither a string nor a dict'),
    (['10.0.0.1 a#b'], 'no #'),
])
def test_agent_entries(agents, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            fleet.agent_entries(agents)
    else:
        entries = fleet.agent_entries(agents)
        assert entries == expected
        assert fleet.parse_inventory(fleet.inventory_text(entries)) == expected


def test_parse_inventory_leaves_out_comments_and_blank_lines():
    text = '# site 4\n\n10.0.0.1   rack 1  # top\n  10.0.0.2\n#10.0.0.3\n'
    assert fleet.parse_inventory(text) == [('10.0.0.1', 'rack 1'), ('10.0.0.2', '')]


@pytest.mark.parametrize('agents, jobs, retries, pause, deadline, expected', [
    (1, 8, 0, 0, 300, 360),
    (8, 8, 0, 0, 300, 360),
    (9, 8, 0, 0, 300, 660),
    (20, 8, 1, 0.5, 100, 5 * 100 + 40 * 0.5 + 60),
    (0, 8, 0, 0, 10, 70),
])
def test_time_limit_covers_every_attempt(agents, jobs, retries, pause, deadline, expected):
    assert fleet.time_limit(agents, jobs, retries, pause, deadline) == expected


def test_default_deadline_follows_the_fleet():
    assert fleet.default_deadline() == 300
    assert fleet.default_deadline(5120, False) == pytest.approx(300 + 0.02 * 11)
    assert fleet.default_deadline(5120, True) == pytest.approx(1200 + 0.02 * 11)


@pytest.mark.parametrize('version, help_text, problem', [
    ('kalvoran-fleet 1.1.2\n', '--skip-current', None),
    ('kalvoran-fleet 2.0.0\n', '--skip-current', None),
    ('kalvoran-fleet 1.1.1\n', '--skip-current', 'it is 1.1.1, the modules need 1.1.2'),
    ('kalvoran-fleet 1.0.9\n', '', 'it is 1.0.9'),
    ('kalvoran-fleet 1.1.2\n', '--check', 'no --skip-current'),
    ('usage: something else', '--skip-current', 'printed no version'),
])
def test_version_problem(version, help_text, problem):
    found = fleet.version_problem(version, help_text)
    assert found == problem if problem is None else problem in found


def test_failure_message_groups_agents_by_result_and_reason():
    rows = [dict(address='10.0.0.1', label='', result=0, reason=''),
            dict(address='10.0.0.2', label='north', result=3, reason='no end within 5 s'),
            dict(address='10.0.0.3', label='', result=4, reason='Memory compare is in error'),
            dict(address='10.0.0.4', label='', result=3, reason='no end within 5 s')]
    assert fleet.failure_message(rows) == (
        '3 of 4 agents failed: 3 network or protocol failure, no end within 5 s: '
        '10.0.0.2 (north), 10.0.0.4; 4 the agent reported a failed job, '
        'Memory compare is in error: 10.0.0.3')
    assert fleet.failure_message(rows[:1]) is None


def test_parse_check_reads_only_the_agents_lines():
    out = ('10.0.0.1        one              skipped, already current: run 1 of 2026\n'
           '10.0.0.2                         send app.bin (verify)\n'
           'app.bin: SHA-256 92068bed\n'
           '2 agents, 8 at once, 0 retries, 0.0 s between starts, log folder x\n'
           '1 skipped (already current)\n')
    assert fleet.parse_check(out, ['10.0.0.1', '10.0.0.2']) == (['10.0.0.2'], ['10.0.0.1'])


def test_read_report(tmp_path):
    assert fleet.read_report(str(tmp_path / 'none.json')) is None
    (tmp_path / 'bad.json').write_text('{"address": "10.0.0.1"}')
    with pytest.raises(ValueError, match='not a report'):
        fleet.read_report(str(tmp_path / 'bad.json'))


@pytest.mark.parametrize('module', MODULES)
def test_argument_spec_matches_the_documentation(module, monkeypatch):
    # What validate-modules compares, for a machine where ansible-test cannot install it.
    class Spec(Exception):
        pass

    def capture(**kwargs):
        raise Spec(kwargs['argument_spec'])

    monkeypatch.setattr(module, 'AnsibleModule', capture)
    with pytest.raises(Spec) as spec:
        module.main()
    documented = dict(yaml.safe_load(ModuleDocFragment.DOCUMENTATION)['options'])
    documented.update(yaml.safe_load(module.DOCUMENTATION)['options'])
    assert sorted(documented) == sorted(spec.value.args[0])
    for name, option in spec.value.args[0].items():
        for key in ('type', 'default', 'choices', 'elements'):
            assert option.get(key) == documented[name].get(key), (name, key)
        assert option.get('required', False) == documented[name].get('required', False), name


@pytest.fixture
def site(tmp_path, monkeypatch, capsys):
    """A host with the stand-in fleet; site.run(module, check=, diff=, **args) returns the
    module's result and site.calls() the fleet's argument lists."""
    shutil.copy(FAKE, str(tmp_path / 'fake_fleet.py'))
    program = tmp_path / 'kalvoran-fleet'
    program.write_text('#!%s\nimport fake_fleet, sys\nsys.exit(fake_fleet.main(sys.argv[1:]))\n'
                       % sys.executable)
    program.chmod(0o755)
    monkeypatch.setenv('PYTHONPATH', str(tmp_path))
    (tmp_path / 'app.bin').write_bytes(b'image 4.2')

    class Site(object):
        path = tmp_path
        file = str(tmp_path / 'app.bin')

        def plan(self, **plan):
            (tmp_path / 'plan.json').write_text(json.dumps(plan))

        def calls(self):
            with open(str(tmp_path / 'calls.jsonl')) as stream:
                return [json.loads(line) for line in stream]

        def run(self, module, check=False, diff=False, **args):
            args.setdefault('fleet', str(program))
            args.update(_ansible_remote_tmp=str(tmp_path / 'remote'), _ansible_check_mode=check,
                        _ansible_diff=diff)
            monkeypatch.setattr(basic, '_ANSIBLE_ARGS',
                                json.dumps({'ANSIBLE_MODULE_ARGS': args}).encode())
            with pytest.raises(SystemExit):
                module.main()
            return json.loads(capsys.readouterr().out)

    found = Site()
    found.plan()
    return found


AGENTS = ['10.0.0.1 north', {'address': '10.0.0.2', 'label': 'south'}, '10.0.0.3']


def test_upgrade_sends_with_skip_current_and_reports_each_agent(site):
    site.plan(current=['10.0.0.3'], status='Memory compare Flash/Ram is OK')
    result = site.run(upgrade, file=site.file, type='image', agents=AGENTS, jobs=2,
                      ledger='/l.db', report=str(site.path / 'kept.csv'))
    assert not result.get('failed') and result['changed'] and result['rc'] == 0
    assert result['upgraded'] == ['10.0.0.1', '10.0.0.2']
    assert result['already_current'] == ['10.0.0.3'] and result['failed_agents'] == []
    assert [row['label'] for row in result['agents']] == ['north', 'south', '']
    assert (site.path / 'kept.csv').read_text().splitlines()[0].startswith('address,label,')
    argv = site.calls()[-1]
    assert argv[:2] == ['--jobs', '2'] and argv[-4:-2] == ['send', 'image']
    for option in ('--skip-current', '--verify', '--report'):
        assert option in argv
    assert argv[argv.index('--ledger') + 1] == '/l.db'


def test_upgrade_of_current_agents_changes_nothing(site):
    site.plan(current=['10.0.0.1', '10.0.0.2', '10.0.0.3'])
    result = site.run(upgrade, file=site.file, type='config', agents=AGENTS, verify=False)
    assert not result['changed'] and result['upgraded'] == []
    assert result['already_current'] == ['10.0.0.1', '10.0.0.2', '10.0.0.3']
    assert '--verify' not in site.calls()[-1]


def test_upgrade_fails_naming_the_failed_agents(site):
    site.plan(results={'10.0.0.2': [4, 'Memory compare Flash/Ram is in error'],
                       '10.0.0.3': [3, 'no end within 5 s: stopped']})
    result = site.run(upgrade, file=site.file, type='image', agents=AGENTS)
    assert result['failed'] and result['changed'] and result['rc'] == 4
    assert result['failed_agents'] == ['10.0.0.2', '10.0.0.3']
    assert result['msg'].startswith('2 of 3 agents failed: ')
    assert '10.0.0.2 (south)' in result['msg'] and 'no end within 5 s: stopped: 10.0.0.3' \
        in result['msg']


def test_upgrade_check_mode_sends_nothing_and_diff_names_the_ledger(site):
    old = dict(address='10.0.0.1', action='send', type='image', result=0, file='app-4.1.bin',
               sha256='41' * 32)
    site.plan(current=['10.0.0.2'], history=[old])
    result = site.run(upgrade, check=True, diff=True, file=site.file, type='image',
                      agents=AGENTS)
    assert result['changed'] and result['upgraded'] == ['10.0.0.1', '10.0.0.3']
    assert [agent['plan'] for agent in result['agents']] == ['send', 'already current', 'send']
    argv = site.calls()[-1]
    assert '--check' in argv and '--report' not in argv
    before, after = result['diff']['before'].splitlines(), result['diff']['after'].splitlines()
    assert before[0] == '10.0.0.1 image: app-4.1.bin ' + '41' * 32
    assert before[1] == after[1] == '10.0.0.2 image: (nothing in the ledger)'
    assert after[0] == '10.0.0.1 image: app.bin ' + result['sha256']


@pytest.mark.parametrize('plan, program, message', [
    ({}, 'kalvoran-fleet-not-here', 'install the Debian package kalvoran-tftp-client'),
    ({'version': '1.1.1'}, None, 'too old: it is 1.1.1'),
    ({'skip_current': False}, None, 'too old: it has no --skip-current'),
    ({'rc': 2}, None, 'refused the run (exit code 2): refused'),
])
def test_upgrade_fails_clearly_without_a_usable_fleet(site, plan, program, message):
    site.plan(**plan)
    args = dict(fleet=program) if program else {}
    result = site.run(upgrade, file=site.file, type='image', agents=['10.0.0.1'], **args)
    assert result['failed'] and message in result['msg']


def test_a_hung_fleet_is_stopped_at_the_time_limit(site):
    site.plan(sleep=30)
    started = time.monotonic()
    result = site.run(upgrade, file=site.file, type='image', agents=AGENTS, time_limit=1)
    assert time.monotonic() - started < 15
    assert result['failed'] and result['rc'] == 124
    assert 'did not end within the time limit of 1 s' in result['msg']


def test_backup_replaces_only_the_backups_that_differ(site):
    folder = str(site.path / 'backup')
    first = site.run(backup, folder=folder, agents=AGENTS[:2])
    assert first['changed'] and all(entry['changed'] for entry in first['files'])
    assert sorted(os.listdir(folder)) == ['10.0.0.1.eeprom.bin', '10.0.0.2.eeprom.bin']
    again = site.run(backup, folder=folder, agents=AGENTS[:2])
    assert not again['changed'] and not any(entry['changed'] for entry in again['files'])
    assert [entry['sha256'] for entry in again['files']] == \
        [entry['sha256'] for entry in first['files']]
    site.plan(eeprom={'10.0.0.2': 'another rom'}, results={'10.0.0.1': [1, 'no ping answer']})
    third = site.run(backup, folder=folder, agents=AGENTS[:2])
    assert third['failed'] and third['changed'] and third['failed_agents'] == ['10.0.0.1']
    assert [entry['address'] for entry in third['files'] if entry['changed']] == ['10.0.0.2']
    assert (site.path / 'backup' / '10.0.0.2.eeprom.bin').read_text() == 'another rom'
    assert (site.path / 'backup' / '10.0.0.1.eeprom.bin').read_text() == 'rom of 10.0.0.1'


def test_status_attaches_each_agents_history_and_never_changes(site):
    entry = dict(address='10.0.0.2', action='send', type='image', result=0, run=7)
    site.plan(status='Memory compare Flash/Ram is OK', history=[entry])
    (site.path / 'inv').write_text('10.0.0.1\n10.0.0.2 south\n')
    result = site.run(status, inventory=str(site.path / 'inv'))
    assert not result['changed'] and not result.get('failed')
    assert [agent['history'] for agent in result['agents']] == [[], [entry]]
    assert result['agents'][1]['status'] == 'Memory compare Flash/Ram is OK'
