"""A stand-in for kalvoran-fleet that the module tests script: plan.json next to it says its
version, each agent's result and whether it is current; every call is appended to calls.jsonl."""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv):
    with open(os.path.join(HERE, 'plan.json')) as stream:
        plan = json.load(stream)
    with open(os.path.join(HERE, 'calls.jsonl'), 'a') as stream:
        stream.write(json.dumps(argv) + '\n')
    if argv == ['--version']:
        print('kalvoran-fleet ' + plan.get('version', '1.1.2'))
        return 0
    if argv == ['--help']:
        print('Usage: kalvoran-fleet [options] send <filetype> <file> <inventory>')
        print('  --skip-current    send: leave alone ...' if plan.get('skip_current', True) else '')
        return 0
    if 'history' in argv:
        if 'history' not in plan:
            sys.stderr.write('ledger: x: no ledger there\n')
            return 2
        print(json.dumps(plan['history']))
        return 0
    time.sleep(plan.get('sleep', 0))
    if 'rc' in plan:
        sys.stderr.write('refused\n')
        return plan['rc']
    agents = []
    with open(argv[-1]) as stream:
        for line in stream:
            words = line.split('#')[0].split(None, 1)
            if words:
                agents.append((words[0], words[1].strip() if len(words) > 1 else ''))
    action = next(word for word in argv if word in ('send', 'eeprom', 'configfile', 'status'))
    rows, highest = [], 0
    for address, label in agents:
        current = address in plan.get('current', [])
        if '--check' in argv:
            print('%-15s %-16s %s' % (address, label, 'skipped, already current: run 1 of X'
                                      if current else 'send'))
            continue
        result, reason = plan.get('results', {}).get(address, [0, ''])
        if current:
            result, reason = 0, 'already current: run 1 of 2026-01-01T00:00:00Z'
        elif result == 0 and action == 'eeprom':
            with open(os.path.join(argv[-2], address + '.eeprom.bin'), 'w') as stream:
                stream.write(plan.get('eeprom', {}).get(address, 'rom of ' + address))
        highest = max(highest, result)
        rows.append(dict(address=address, label=label, action=action, result=result, reason=reason,
                         bytes=0, seconds=0.1, attempts=0 if current else 1,
                         status=plan.get('status', '')))
    if '--report' in argv:
        with open(argv[argv.index('--report') + 1], 'w') as stream:
            json.dump(rows, stream)
    return highest


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
