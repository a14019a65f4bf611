#!/usr/bin/python3
"""The Ansible collection contrib/ansible run by the real ansible-playbook,
its session compared with GOLDEN (BBU_GOLDEN_UPDATE=1 rewrites it). All of
Ansible's files and every simulated BBU live in WORK_DIR.

rollout: rollout.yml over six machines that are all this one, each with a
  simulated BBU of its own kept between commands (bbusim --keep --root):
  check mode, a rollout, the same rollout again. The session holds every
  task's outcome per machine in the order the batches ran, what a failed
  machine reported, the recap, the exit status, each BBU's firmware read back
  with bbuctl, and the bbuctl words the modules gave on the first machine.
stops: the same on fresh BBUs, a rollout whose third batch holds a BBU that
  never takes a flash block, and one whose third batch loads three BBUs that
  then fail the health gate, each for another reason.
modules: tests/data/ansible/modules.yml: the light and code-level modules on
  one simulated BBU, the firmware module's refusals, and bbu_facts given
  documents that must not be believed; each result, then the BBU read back.

usage: ansible_test.py rollout|stops|modules BIN_DIR WORK_DIR SOURCE_DIR GOLDEN
"""

import base64
import json
import os
import re
import shutil
import subprocess
import sys
import time

HOSTS = ['m%d' % n for n in range(1, 7)]

mode, bin_dir, work, source, golden = sys.argv[1:6]
bbusim, bbuctl = os.path.join(bin_dir, 'bbusim'), os.path.join(bin_dir, 'bbuctl')
session = []


def fail(message):
    sys.exit('FAIL: ' + message)


def write(path, text):
    with open(path, 'w') as f:
        f.write(text)


def sim(root, scenario=None):
    """bbuctl's words for a BBU kept in ROOT."""
    return [bbusim, '--keep', '--root', root] + (['--scenario', scenario] if scenario else []) + \
        ['--', bbuctl]


def read_bbu(root, *command):
    """bbuctl --json COMMAND on the BBU in ROOT: its document, or a text saying why there is none."""
    read = subprocess.run(sim(root) + ['--json'] + list(command), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    try:
        return json.loads(read.stdout)
    except ValueError:
        return 'no document, exit %d: %s' % (read.returncode, read.stderr.strip())


def playbook(log, *args):
    run = subprocess.run([os.environ.get('ANSIBLE_PLAYBOOK', 'ansible-playbook')] + list(args), env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, cwd=work)
    write(os.path.join(work, log + '.log'), run.stdout)
    return run


def rollout(title, inventory, *options):
    """Runs rollout.yml on INVENTORY and adds its outcome to the session; returns the recap."""
    run = playbook(title.replace(' ', '_'), '-i', inventory,
                   os.path.join(source, 'contrib', 'ansible', 'rollout.yml'), '-e', 'bbu_image=' + image,
                   '-e', 'bbu_version=06', '-e', 'bbu_soak_seconds=0', *options)
    session.append('run| ' + title)
    task, outcomes, recap, fatal = None, {}, {}, {}

    def task_done():
        # Machines of a batch end a task in any order: their reports go in inventory order.
        for host in HOSTS:
            session.extend(fatal.pop(host, []))
        if task is not None:
            shown = ', '.join('%s %s' % (state, ' '.join(h for h in HOSTS if outcomes.get(h) == state))
                              for state in sorted(set(outcomes.values())))
            session.append('task| %s: %s' % (task, shown))

    lines = run.stdout.splitlines()
    for n, line in enumerate(lines):
        heading = re.match(r'^(PLAY|TASK) \[(.*)\] \*+$', line)
        result = re.match(r'^(ok|changed|skipping|fatal|failed): \[(\w+)\]', line)
        counts = re.match(r'^(\w+) +: (.*)$', line)
        if heading:
            task_done()
            task, outcomes = (heading.group(2), {}) if heading.group(1) == 'TASK' else (None, {})
            if heading.group(1) == 'PLAY':
                session.append('play| ' + heading.group(2))
        elif result and task is not None:
            host = result.group(2)
            outcomes[host] = result.group(1)
            if result.group(1) == 'fatal':
                # The result as JSON, on this line and maybe the next ones.
                rest = '\n'.join([line[line.index('=> ') + 3:]] + lines[n + 1:])
                report = json.JSONDecoder().raw_decode(rest)[0]
                said = fatal.setdefault(host, [])
                said.append('fatal| %s changed=%s msg: %s' % (host, report.get('changed'), report.get('msg')))
                if 'assertion' in report:
                    said.append('fatal| %s assertion: %s' % (host, report['assertion']))
                error = report.get('error', {})
                said.extend('fatal| %s error.%s: %s' % (host, key, error[key]) for key in
                            ('kind', 'step', 'why', 'holds', 'holds_text', 'image', 'firmware') if key in error)
        elif line.startswith(('NO MORE HOSTS LEFT', '[WARNING]', 'ERROR!')):
            task_done()
            task = None
            session.append('note| ' + line.rstrip(' *'))
        elif line.startswith('PLAY RECAP'):
            task_done()
            task = None
        elif counts and counts.group(1) in HOSTS:
            recap[counts.group(1)] = dict(c.split('=') for c in counts.group(2).split())
    for host in HOSTS:
        session.append('recap| %s %s' % (host, ' '.join('%s=%s' % (k, recap[host][k]) for k in
                                                        ('ok', 'changed', 'failed', 'skipped'))
                                         if host in recap else 'not run'))
    session.append('exit| %d' % run.returncode)
    # The words bbuctl was given on m1, after the ones that say how to run it.
    argv = os.path.join(work, 'm1.argv')
    if os.path.exists(argv):
        with open(argv) as f:
            session.extend('argv| m1 bbuctl ' + line.split(' -- ' + bbuctl + ' ', 1)[1] for line in f.read().splitlines())
        os.remove(argv)
    return recap


def fleet(name, scenarios=None):
    """An inventory of the six machines whose BBUs live under WORK/NAME; SCENARIOS
    gives some of them a scenario text. m1's bbuctl words are logged."""
    hosts = {}
    for host in HOSTS:
        scenario = None
        if host in (scenarios or {}):
            scenario = os.path.join(work, '%s-%s.scn' % (name, host))
            write(scenario, scenarios[host])
        words = sim(os.path.join(work, name, host), scenario)
        if host == 'm1':
            words = ['/bin/sh', '-c', 'echo "$*" >>"$0"; exec "$@"', os.path.join(work, 'm1.argv')] + words
        hosts[host] = dict(ansible_connection='local', ansible_python_interpreter=sys.executable, bbu_bbuctl=words)
    path = os.path.join(work, name + '.json')
    write(path, json.dumps(dict(bbu=dict(hosts=hosts))))
    return path


def firmware(name):
    """Each BBU under WORK/NAME read back, added to the session."""
    seen = {}
    for host in HOSTS:
        doc = read_bbu(os.path.join(work, name, host), 'status')
        ok = isinstance(doc, dict) and doc.get('ok')
        seen[host] = doc['firmware'] if ok else None
        said = '%s image %s errors %s' % (doc['firmware'], doc['image'], doc['errors']) if ok else \
            'not read: %s' % (doc['error']['reason'] if isinstance(doc, dict) else doc)
        session.append('bbu| %s %s' % (host, said))
    return seen


def rollouts():
    inventory = fleet('fleet')
    rollout('check mode', inventory, '--check')
    if set(firmware('fleet').values()) != {'05.12'}:
        fail('after check mode a BBU is not 05.12')
    rollout('rollout', inventory)
    if not all(f and f.startswith('06.') for f in firmware('fleet').values()):
        fail('the rollout left a BBU without 06')
    again = rollout('rollout again', inventory)
    if sorted(again) != HOSTS or any(again[h].get('changed') != '0' for h in HOSTS):
        fail('the second rollout changed something or left a machine out')
    firmware('fleet')


def stops():
    # m4 never has block 3 taken; the third batch is m3, m4 and m5.
    stopped = rollout('rollout stopped by a load in the third batch',
                      fleet('stop', {'m4': 'fault tfb-lost 3 count 4\n'}))
    seen = firmware('stop')
    if seen['m6'] != '05.12' or 'm6' in stopped or stopped.get('m4', {}).get('failed') != '1':
        fail('the failed load in the third batch did not stop the rollout before m6')
    if 'fatal| m4 error.holds: no-valid-image' not in session:
        fail('the failed load does not say what the BBU holds')
    # Each scenario is applied again at every bbuctl run: the loads succeed and
    # the status read after them shows the old version, an error bit, or a
    # load still in progress.
    gated = rollout('rollout stopped by the health gate in the third batch', fleet('gate', {
        'm3': 'status 30 05\n', 'm4': 'status 5 01\n', 'm5': 'status 4 02\n'}))
    firmware('gate')
    if any(gated.get(h, {}).get('failed') != '1' for h in ('m3', 'm4', 'm5')) or 'm6' in gated:
        fail('the health gate let a BBU through or the rollout went on')


# Documents bbu_facts must refuse (name, standard output, exit status), and two it takes.
STATUS = '{"schema": 1, "command": "status", "ok": %s'
HOSTILE = [
    ('nothing', '', 1),
    ('text', 'firmware 05.12\n', 0),
    ('two documents', (STATUS % 'true') + '}\n' + (STATUS % 'true') + '}\n', 0),
    ('an array', '[1]', 0),
    ('schema 2', '{"schema": 2, "command": "status", "ok": true}', 0),
    ('schema as text', '{"schema": "1", "command": "status", "ok": true}', 0),
    ('schema true', '{"schema": true, "command": "status", "ok": true}', 0),
    ('another command', '{"schema": 1, "command": "light", "ok": true}', 0),
    ('ok without a boolean', (STATUS % '"true"') + '}', 0),
    ('ok, exit 1', (STATUS % 'true') + '}', 1),
    ('not ok, exit 0', (STATUS % 'false') + ', "error": {"reason": "status: failed"}}', 0),
    ('not ok without an error', (STATUS % 'false') + '}', 1),
    ('ok given twice', (STATUS % 'false') + ', "ok": true}', 0),
    ('NaN', (STATUS % 'true') + ', "bytes": NaN}', 0),
    ('a failure', (STATUS % 'false') + ', "error": {"kind": "device", "reason": "status: reading the general '
     'status failed: the transfer failed", "holds": "no-answer", "holds_text": "the device does not answer"}}', 1),
    ('a success with a member unknown', (STATUS % 'true') + ', "firmware": "05.12", "later": [1]}', 0),
]


def modules():
    old = os.path.join(work, 'old.img')
    subprocess.run([os.path.join(bin_dir, 'bbusim-mkimage'), '-v', '4', old], check=True)
    root = os.path.join(work, 'bbu')
    variables = os.path.join(work, 'vars.json')
    write(variables, json.dumps(dict(sim=sim(root), new_image=image, old_image=old, results=os.path.join(
        work, 'results.json'), hostile=[dict(name=n, out=base64.b64encode(o.encode()).decode(), rc=str(rc)) for n, o, rc in HOSTILE])))
    run = playbook('modules', '-i', 'localhost,', '-e', '@' + variables,
                   os.path.join(source, 'tests', 'data', 'ansible', 'modules.yml'))
    if run.returncode != 0:
        fail('modules.yml failed, exit %d: see %s/modules.log' % (run.returncode, work))
    with open(os.path.join(work, 'results.json')) as f:
        results = json.load(f)
    for name, result in results.items():
        for r in result.get('results', [result]):
            shown = ' '.join('%s=%s' % (k, json.dumps(r[k])) for k in
                             ('changed', 'failed', 'before', 'after', 'action', 'image_version') if k in r)
            label = name + ('[%s]' % r['item']['name'] if 'item' in r else '')
            session.append('%s| %s' % (label, shown))
            if r.get('failed'):
                session.append('%s| msg: %s' % (label, r.get('msg')))
                if 'error' in r:
                    session.append('%s| error: %s' % (label, json.dumps(r['error'], sort_keys=True)))
            if 'ansible_facts' in r:
                session.append('%s| facts: %s' % (label, json.dumps(r['ansible_facts'], sort_keys=True)))
    session.append('bbu| light %s, code level %s, firmware %s' % (
        read_bbu(root, 'light')['light'], read_bbu(root, 'vpd')['fields']['code_level'],
        read_bbu(root, 'status')['firmware']))


started = time.monotonic()
shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, 'home'))
# Ansible's own files (its home, temporary directories, configuration) stay in WORK.
write(os.path.join(work, 'ansible.cfg'), '[defaults]\nforks = 6\nnocolor = true\nretry_files_enabled = false\n'
      'interpreter_python = %s\n[connection]\npipelining = true\n' % sys.executable)
env = dict(os.environ, HOME=os.path.join(work, 'home'), ANSIBLE_CONFIG=os.path.join(work, 'ansible.cfg'),
           ANSIBLE_HOME=os.path.join(work, 'home', '.ansible'),
           ANSIBLE_LOCAL_TEMP=os.path.join(work, 'home', 'local-tmp'),
           ANSIBLE_REMOTE_TEMP=os.path.join(work, 'home', 'remote-tmp'),
           ANSIBLE_COLLECTIONS_SCAN_SYS_PATH='false', ANSIBLE_COLLECTIONS_PATH=os.path.join(source, 'contrib', 'ansible', 'collections'),
           ANSIBLE_STDOUT_CALLBACK='default', ANSIBLE_FORCE_COLOR='0', PYTHONDONTWRITEBYTECODE='1')
image = os.path.join(work, 'new.img')
subprocess.run([os.path.join(bin_dir, 'bbusim-mkimage'), '-v', '6', image], check=True)
{'rollout': rollouts, 'stops': stops, 'modules': modules}[mode]()

text = '\n'.join(session).replace(work, 'WORK').replace(bin_dir, 'BIN') + '\n'
if os.environ.get('BBU_GOLDEN_UPDATE'):
    write(golden, text)
with open(golden) as f:
    expected = f.read()
if text != expected:
    write(os.path.join(work, 'session'), text)
    diff = subprocess.run(['diff', '-u', golden, os.path.join(work, 'session')], stdout=subprocess.PIPE,
                          universal_newlines=True).stdout
    sys.stderr.write('\n'.join(diff.splitlines()[:60]) + '\n')
    fail('the session differs from ' + golden)
print('ansible %s: %.1f s' % (mode, time.monotonic() - started))
