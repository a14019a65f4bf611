#!/usr/bin/python3
"""The staged rollout playbook (contrib/ansible/rollout.yml) run by the real
ansible-playbook over six machines that are all this one, each with a
simulated BBU of its own kept between commands (bbusim --keep --root). Four
runs: check mode, a rollout, the same rollout again, and on fresh BBUs a
rollout whose third batch holds a BBU that never takes a flash block.

The session (for each run: every task's outcome per machine in the order the
batches ran, what a failed machine reported, the recap, the exit status, then
each BBU's firmware read back with bbuctl) must equal GOLDEN;
BBU_GOLDEN_UPDATE=1 rewrites it. Everything lives in WORK_DIR.

usage: ansible_rollout_test.py BIN_DIR WORK_DIR SOURCE_DIR GOLDEN
"""

import json
import os
import re
import shutil
import subprocess
import sys
import time

HOSTS = ['m%d' % n for n in range(1, 7)]
# The failing machine: the third batch is m3, m4 and m5.
BROKEN = 'm4'

bin_dir, work, source, golden = sys.argv[1:5]
bbusim, bbuctl = os.path.join(bin_dir, 'bbusim'), os.path.join(bin_dir, 'bbuctl')
playbook = os.path.join(source, 'contrib', 'ansible', 'rollout.yml')
session = []


def fail(message):
    sys.exit('FAIL: ' + message)


def write(path, text):
    with open(path, 'w') as f:
        f.write(text)


def inventory(name, scenario=None):
    """An inventory of the six machines whose BBUs live under WORK/NAME."""
    hosts = {}
    for host in HOSTS:
        words = [bbusim, '--keep', '--root', os.path.join(work, name, host)]
        if host == BROKEN and scenario:
            words += ['--scenario', scenario]
        hosts[host] = dict(ansible_connection='local', ansible_python_interpreter=sys.executable,
                           bbu_bbuctl=words + ['--', bbuctl])
    path = os.path.join(work, name + '.json')
    write(path, json.dumps(dict(bbu=dict(hosts=hosts))))
    return path


def playbook_run(title, inventory_path, *options):
    """Runs the playbook and adds its outcome to the session; returns the recap."""
    args = [os.environ.get('ANSIBLE_PLAYBOOK', 'ansible-playbook'), '-i', inventory_path, playbook,
            '-e', 'bbu_image=' + image, '-e', 'bbu_version=06', '-e', 'bbu_soak_seconds=0'] + list(options)
    run = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, cwd=work)
    write(os.path.join(work, title.replace(' ', '_') + '.log'), run.stdout)
    session.append('run| ' + title)
    task, outcomes, recap = None, {}, {}

    def task_done():
        if task is not None:
            shown = ', '.join('%s %s' % (state, ' '.join(h for h in HOSTS if outcomes.get(h) == state))
                              for state in sorted(set(outcomes.values())))
            session.append('task| %s: %s' % (task, shown))

    for line in run.stdout.splitlines():
        heading = re.match(r'^(PLAY|TASK) \[(.*)\] \*+$', line)
        result = re.match(r'^(ok|changed|skipping|fatal|failed): \[(\w+)\]', line)
        counts = re.match(r'^(\w+) +: (.*)$', line)
        if heading:
            task_done()
            task, outcomes = (heading.group(2), {}) if heading.group(1) == 'TASK' else (None, {})
            if heading.group(1) == 'PLAY':
                session.append('play| ' + heading.group(2))
        elif result and task is not None:
            outcomes[result.group(2)] = result.group(1)
            if result.group(1) == 'fatal':
                report = json.JSONDecoder().raw_decode(line[line.index('=> ') + 3:])[0]
                error = report.get('error', {})
                session.append('fatal| %s changed=%s msg: %s' % (result.group(2), report.get('changed'),
                                                                  report.get('msg')))
                for key in ('kind', 'step', 'why', 'holds', 'holds_text', 'image', 'firmware'):
                    session.append('fatal| %s error.%s: %s' % (result.group(2), key, error.get(key)))
        elif line.startswith('NO MORE HOSTS LEFT') or line.startswith('[WARNING]') or \
                line.startswith('ERROR!'):
            task_done()
            task = None
            session.append('note| ' + line.rstrip(' *'))
        elif line.startswith('PLAY RECAP'):
            task_done()
            task = None
        elif counts and counts.group(1) in HOSTS:
            recap[counts.group(1)] = dict(c.split('=') for c in counts.group(2).split())
    for host in HOSTS:
        if host in recap:
            session.append('recap| %s %s' % (host, ' '.join(
                '%s=%s' % (k, recap[host][k]) for k in ('ok', 'changed', 'failed', 'skipped'))))
        else:
            session.append('recap| %s not run' % host)
    session.append('exit| %d' % run.returncode)
    return recap


def firmware(name):
    """Each BBU under WORK/NAME read back with bbuctl, added to the session."""
    seen = {}
    for host in HOSTS:
        read = subprocess.run([bbusim, '--keep', '--root', os.path.join(work, name, host), '--',
                               bbuctl, '--json', 'status'], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)
        try:
            doc = json.loads(read.stdout)
            seen[host] = doc.get('firmware') if doc.get('ok') else None
            said = '%s image %s' % (doc.get('firmware'), doc.get('image')) if doc.get('ok') else \
                'not read: %s' % doc.get('error', {}).get('reason')
        except ValueError:
            seen[host], said = None, 'no document, exit %d: %s' % (read.returncode, read.stderr.strip())
        session.append('bbu| %s %s' % (host, said))
    return seen


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
           ANSIBLE_COLLECTIONS_SCAN_SYS_PATH='false', ANSIBLE_COLLECTIONS_PATH=os.path.join(work, 'home'),
           ANSIBLE_STDOUT_CALLBACK='default', ANSIBLE_FORCE_COLOR='0', PYTHONDONTWRITEBYTECODE='1')
image = os.path.join(work, 'new.img')
subprocess.run([os.path.join(bin_dir, 'bbusim-mkimage'), '-v', '6', image], check=True)
scenario = os.path.join(work, 'never-taken.scn')
write(scenario, 'fault tfb-lost 3 count 4\n')

fleet = inventory('fleet')
playbook_run('check mode', fleet, '--check')
if set(firmware('fleet').values()) != {'05.12'}:
    fail('after check mode a BBU is not 05.12')
playbook_run('rollout', fleet)
if not all(f and f.startswith('06.') for f in firmware('fleet').values()):
    fail('the rollout left a BBU without 06')
again = playbook_run('rollout again', fleet)
if sorted(again) != HOSTS or any(again[h].get('changed') != '0' for h in HOSTS):
    fail('the second rollout changed something or left a machine out')
firmware('fleet')
stopped = playbook_run('rollout stopped in the third batch', inventory('stop', scenario))
seen = firmware('stop')
if seen['m6'] != '05.12' or 'm6' in stopped or stopped.get(BROKEN, {}).get('failed') != '1':
    fail('the failure in the third batch did not stop the rollout before m6')
if 'fatal| %s error.holds: no-valid-image' % BROKEN not in session:
    fail('the failed load does not say what the BBU holds')

text = '\n'.join(session).replace(work, 'WORK') + '\n'
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
print('ansible rollout: 4 runs of the playbook over 6 machines in %.1f s' % (time.monotonic() - started))
