#!/usr/bin/python3
"""The Ansible collection contrib/ansible run by the real ansible-playbook,
its session compared with GOLDEN (BBU_GOLDEN_UPDATE=1 rewrites it). All of
Ansible's files and every simulated BBU live in WORK_DIR.

rollout: the recipe of docs/fleet.md ("Trying it on simulated BBUs") run as
  written, with BIN_DIR first on PATH and the collection's installed folder
  read as SOURCE_DIR/contrib/ansible: every task's outcome per machine in
  the order the batches ran (check run, then rollout), the recaps, and the
  firmware the recipe reads back.
stops: rollout.yml over six machines, each with a simulated BBU of its own
  (bbusim --keep --root), the first two already on the version (no load, no
  soak); the third batch holds a BBU that never takes a flash block: the
  others of the batch finish their loads, nothing goes on.
gate: the same where the third batch loads three BBUs that then fail the
  health gate, each at another of its checks.
modules: one real run of the light and code-level modules, then every
  module's code (bbuctl's words logged) run in one Python process with
  Ansible's own module support: changes, check mode, refusals, and
  documents that bbu_facts must not believe; the BBU read back.

usage: ansible_test.py rollout|stops|gate|modules BIN_DIR WORK_DIR SOURCE_DIR GOLDEN
"""

import json
import os
import re
import shutil
import subprocess
import sys
import time

mode, bin_dir, work, source, golden = sys.argv[1:6]
bbusim, bbuctl = os.path.join(bin_dir, 'bbusim'), os.path.join(bin_dir, 'bbuctl')
collections = os.path.join(work, 'home', '.ansible', 'collections')
session = []
HOSTS = ['m%d' % n for n in range(1, 7)]


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


def report(text):
    """Adds each ansible-playbook run in TEXT to the session; returns the last recap."""
    task, outcomes, recap, fatal = None, {}, {}, {}

    def task_done():
        # Machines of a batch end a task in any order: their reports go in name order.
        for host in sorted(fatal):
            session.extend(fatal.pop(host))
        if task is not None:
            shown = ', '.join('%s %s' % (state, ' '.join(sorted(h for h in outcomes if outcomes[h] == state)))
                              for state in sorted(set(outcomes.values())))
            session.append('task| %s: %s' % (task, shown))

    lines = text.splitlines()
    for n, line in enumerate(lines):
        heading = re.match(r'^(PLAY|TASK) \[(.*)\] \*+$', line)
        result = re.match(r'^(ok|changed|skipping|fatal|failed): \[(\w+)\]', line)
        counts = re.match(r'^(\w+) +: (ok=.*)$', line)
        if heading:
            task_done()
            if heading.group(1) == 'PLAY':
                # A batch's play; the recap seen before it was another run's.
                recap = {}
                session.append('play| ' + heading.group(2))
            task, outcomes = (heading.group(2), {}) if heading.group(1) == 'TASK' else (None, {})
        elif result and task is not None:
            host = result.group(2)
            outcomes[host] = result.group(1)
            if result.group(1) == 'fatal':
                # The result as JSON, on this line and maybe the next ones.
                rest = '\n'.join([line[line.index('=> ') + 3:]] + lines[n + 1:])
                said = json.JSONDecoder().raw_decode(rest)[0]
                shown = fatal.setdefault(host, [])
                shown.append('fatal| %s changed=%s msg: %s' % (host, said.get('changed'), said.get('msg')))
                if 'assertion' in said:
                    shown.append('fatal| %s assertion: %s' % (host, said['assertion']))
                error = said.get('error', {})
                shown.extend('fatal| %s error.%s: %s' % (host, key, error[key]) for key in
                             ('kind', 'step', 'why', 'holds', 'holds_text', 'image', 'firmware') if key in error)
        elif line.startswith(('NO MORE HOSTS LEFT', '[WARNING]', 'ERROR!')):
            task_done()
            task = None
            session.append('note| ' + line.rstrip(' *'))
        elif line.startswith('PLAY RECAP'):
            task_done()
            task = None
        elif counts:
            recap[counts.group(1)] = dict(c.split('=') for c in counts.group(2).split())
            session.append('recap| %s %s' % (counts.group(1), ' '.join(
                '%s=%s' % (k, recap[counts.group(1)][k]) for k in ('ok', 'changed', 'failed', 'skipped'))))
    return recap


def ansible_env():
    """Ansible's own files (home, temporary folders, configuration) in WORK; no
    system collection, colour or retry file; modules fed through a pipe."""
    config = os.path.join(work, 'ansible.cfg')
    write(config, '')
    return dict(os.environ, HOME=os.path.join(work, 'home'), ANSIBLE_CONFIG=config,
                ANSIBLE_HOME=os.path.join(work, 'home', '.ansible'), ANSIBLE_COLLECTIONS_PATH=collections,
                ANSIBLE_LOCAL_TEMP=os.path.join(work, 'home', 'local-tmp'),
                ANSIBLE_REMOTE_TEMP=os.path.join(work, 'home', 'remote-tmp'),
                ANSIBLE_COLLECTIONS_SCAN_SYS_PATH='false', ANSIBLE_STDOUT_CALLBACK='default',
                ANSIBLE_NOCOLOR='1', ANSIBLE_FORCE_COLOR='0', ANSIBLE_RETRY_FILES_ENABLED='0',
                ANSIBLE_PIPELINING='1', ANSIBLE_FORKS='6', PYTHONDONTWRITEBYTECODE='1')


def playbook(log, *args):
    run = subprocess.run([os.environ.get('ANSIBLE_PLAYBOOK', 'ansible-playbook')] + list(args),
                         env=ansible_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, cwd=work)
    write(os.path.join(work, log + '.log'), run.stdout)
    return run


def use_collection():
    """The collection found by Ansible as bbu.tools: the source folder itself."""
    os.makedirs(os.path.join(collections, 'ansible_collections', 'bbu'))
    os.symlink(os.path.join(source, 'contrib', 'ansible'), os.path.join(collections, 'ansible_collections',
                                                                         'bbu', 'tools'))


def rollout(title, inventory):
    """rollout.yml on INVENTORY, its outcome added to the session; returns the recap."""
    run = playbook(title, '-i', inventory, os.path.join(source, 'contrib', 'ansible', 'rollout.yml'),
                   '-e', 'bbu_image=' + image, '-e', 'bbu_version=06', '-e', 'bbu_soak_seconds=0')
    session.append('run| ' + title)
    recap = report(run.stdout)
    session.append('exit| %d' % run.returncode)
    return recap


def fleet(name, scenarios):
    """An inventory of six machines whose BBUs live under WORK/NAME; SCENARIOS
    gives some of them a scenario text, applied at every bbuctl run."""
    hosts = {}
    for host in HOSTS:
        scenario = None
        if host in scenarios:
            scenario = os.path.join(work, '%s-%s.scn' % (name, host))
            write(scenario, scenarios[host])
        hosts[host] = dict(bbu_bbuctl=sim(os.path.join(work, name, host), scenario))
    path = os.path.join(work, name + '.json')
    write(path, json.dumps(dict(bbu=dict(hosts=hosts, vars=dict(
        ansible_connection='local', ansible_python_interpreter='{{ ansible_playbook_python }}')))))
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


def recipe():
    with open(os.path.join(source, 'docs', 'fleet.md')) as f:
        doc = f.read()
    found = re.search(r'\n### Trying it on simulated BBUs\n.*?\n```sh\n(.*?)\n```\n', doc, re.S)
    if not found:
        fail('docs/fleet.md has no recipe under "### Trying it on simulated BBUs"')
    write(os.path.join(work, 'recipe.sh'),
          found.group(1).replace('/usr/share/bbu/ansible', os.path.join(source, 'contrib', 'ansible')) + '\n')
    env = dict(ansible_env(), PATH=bin_dir + os.pathsep + os.environ['PATH'])
    run = subprocess.run(['/bin/sh', '-e', 'recipe.sh'], env=env, cwd=work, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True)
    write(os.path.join(work, 'recipe.log'), run.stdout)
    recap = report(run.stdout)
    said = [line for line in run.stdout.splitlines() if re.match(r'^bbu\d: ', line)]
    session.extend('out| ' + line for line in said)
    session.append('exit| %d' % run.returncode)
    if run.returncode != 0 or len(recap) != 2 or any(r['changed'] != '1' for r in recap.values()) or \
            said != ['bbu%d: firmware version: 06.12' % n for n in range(1, 3)]:
        fail('the recipe did not load every BBU: see %s/recipe.log' % work)


def stops():
    use_collection()
    # m1 and m2 already run 06; m4 never has block 3 taken; the third batch is m3, m4 and m5.
    stopped = rollout('rollout stopped by a load in the third batch', fleet('stop', {
        'm1': 'image 06\n', 'm2': 'image 06\n', 'm4': 'fault tfb-lost 3 count 4\n'}))
    seen = firmware('stop')
    if seen['m6'] != '05.12' or 'm6' in stopped or stopped.get('m4', {}).get('failed') != '1':
        fail('the failed load in the third batch did not stop the rollout before m6')
    if 'fatal| m4 error.holds: no-valid-image' not in session:
        fail('the failed load does not say what the BBU holds')


def gate():
    use_collection()
    # Each scenario is applied again at every bbuctl run: the loads succeed and
    # the status read after them shows an error bit or a load still in
    # progress (stopped), or the old version (not evidence: it passes).
    gated = rollout('rollout stopped by the health gate in the third batch', fleet('gate', {
        'm1': 'image 06\n', 'm2': 'image 06\n', 'm3': 'status 30 05\n', 'm4': 'status 5 01\n',
        'm5': 'status 4 02\n'}))
    firmware('gate')
    if any(gated.get(h, {}).get('failed') != '1' for h in ('m4', 'm5')) or 'm6' in gated or \
            gated.get('m3', {}).get('failed') == '1' or \
            any(gated.get(h, {}).get('changed') != '0' for h in ('m1', 'm2')):
        fail('the health gate let a BBU through, stopped one on its status version, the rollout '
             'went on, or a BBU on 06 was loaded')


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
PRINT = ['/bin/sh', '-c', 'printf "%s" "$1"; exit "$2"', 'sh']
NO_CHANGED = '{"schema": 1, "command": "light set", "ok": true}'
CANNOT_TELL = '{"schema": 1, "command": "light set", "ok": true, "check": true, "would_change": null}'
# A change sent that cannot be verified (exit 3), and a success that does not say what it rests on.
UNVERIFIED = '{"schema": 1, "command": "light set", "ok": false, "changed": true, "verified": false}'
NO_VERIFIED = '{"schema": 1, "command": "light set", "ok": true, "changed": true}'


def module_cases(bbu, old):
    """(name, module, arguments, check mode) of every module run in one process;
    BBU runs bbuctl on the simulated BBU, its words logged."""
    return [
        ('light_again', 'bbu_light', dict(value=3, bbuctl=bbu), False),
        ('light_check', 'bbu_light', dict(value=5, bbuctl=bbu), True),
        ('light_range', 'bbu_light', dict(value=16, bbuctl=bbu), False),
        ('codelevel_again', 'bbu_codelevel', dict(level='A3', bbuctl=bbu), False),
        ('codelevel_dash', 'bbu_codelevel', dict(level='-y', bbuctl=bbu), True),
        ('codelevel_short', 'bbu_codelevel', dict(level='B', bbuctl=bbu), False),
        ('firmware_older_check', 'bbu_firmware', dict(image=old, bbuctl=bbu), True),
        ('firmware_older', 'bbu_firmware', dict(image=old, bbuctl=bbu), False),
        ('firmware_other_version', 'bbu_firmware', dict(image=image, version='07', bbuctl=bbu), False),
        ('firmware_no_file', 'bbu_firmware', dict(image=image + '.none', bbuctl=bbu), False),
        ('facts', 'bbu_facts', dict(bbuctl=bbu, adapter='/dev/i2c-0b', lock_wait=3), False),
    ] + [('facts_hostile[%s]' % n, 'bbu_facts', dict(bbuctl=PRINT + [o, str(rc)]), False) for n, o, rc in HOSTILE] + [
        ('light_no_changed', 'bbu_light', dict(value=1, bbuctl=PRINT + [NO_CHANGED, '0']), False),
        ('light_cannot_tell', 'bbu_light', dict(value=1, bbuctl=PRINT + [CANNOT_TELL, '0']), True),
        ('light_unverified', 'bbu_light', dict(value=1, bbuctl=PRINT + [UNVERIFIED, '3']), False),
        ('light_no_verified', 'bbu_light', dict(value=1, bbuctl=PRINT + [NO_VERIFIED, '0']), False),
    ]


def drive():
    """In the Python that runs Ansible: each case of WORK/cases.json through its
    module's main() with Ansible's module support, as a module run would; the
    results and bbuctl's words go to WORK/results.json."""
    import contextlib
    import importlib
    import io
    from ansible.module_utils import basic
    from ansible.utils.collection_loader._collection_finder import _AnsibleCollectionFinder
    _AnsibleCollectionFinder(paths=[collections], scan_sys_paths=False)._install()
    with open(os.path.join(work, 'cases.json')) as f:
        cases = json.load(f)
    results = []
    for name, module, args, check in cases:
        main = importlib.import_module('ansible_collections.bbu.tools.plugins.modules.' + module).main
        basic._ANSIBLE_ARGS = json.dumps(dict(ANSIBLE_MODULE_ARGS=dict(args, _ansible_check_mode=check))).encode()
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            try:
                main()
            except SystemExit:
                pass
        results.append([name, json.loads(out.getvalue()), logged(os.path.join(work, 'argv'))])
    write(os.path.join(work, 'results.json'), json.dumps(results))


def ansible_python():
    """The interpreter of ansible-playbook, which has Ansible's Python packages."""
    with open(shutil.which(os.environ.get('ANSIBLE_PLAYBOOK', 'ansible-playbook'))) as f:
        words = f.readline()[2:].split()
    return words[1:] if os.path.basename(words[0]) == 'env' else words


def show(name, r, argv):
    """One module result added to the session, with the words bbuctl was given."""
    shown = ' '.join('%s=%s' % (k, json.dumps(r[k])) for k in
                     ('changed', 'failed', 'before', 'after', 'action', 'image_version') if k in r)
    session.append('%s| %s' % (name, shown))
    if r.get('failed'):
        session.append('%s| msg: %s' % (name, r.get('msg')))
        if 'error' in r:
            session.append('%s| error: %s' % (name, json.dumps(r['error'], sort_keys=True)))
    if 'ansible_facts' in r:
        facts = r['ansible_facts']['bbu']
        session.append('%s| facts: %s' % (name, json.dumps(dict((k, facts[k]) for k in (
            'command', 'firmware', 'image', 'ok', 'schema', 'later') if k in facts), sort_keys=True)))
    session.extend('%s| argv: %s' % (name, line.split(' -- ' + bbuctl + ' ', 1)[1]) for line in argv)


def logged(argv_log):
    if not os.path.exists(argv_log):
        return []
    with open(argv_log) as f:
        lines = f.read().splitlines()
    os.remove(argv_log)
    return lines


def modules():
    use_collection()
    old = os.path.join(work, 'old.img')
    subprocess.run([os.path.join(bin_dir, 'bbusim-mkimage'), '-v', '4', old], check=True)
    root, argv_log = os.path.join(work, 'bbu'), os.path.join(work, 'argv')
    bbu = ['/bin/sh', '-c', 'echo "$*" >>"$0"; exec "$@"', argv_log] + sim(root)
    run = playbook('modules', '-i', 'localhost,', '-e', json.dumps(dict(bbu=bbu)),
                   os.path.join(source, 'tests', 'data', 'ansible', 'modules.yml'))
    if run.returncode != 0 or 'ok: [localhost] => {' not in run.stdout:
        fail('modules.yml failed, exit %d: see %s/modules.log' % (run.returncode, work))
    said = json.JSONDecoder().raw_decode(run.stdout[run.stdout.rindex('ok: [localhost] => {') + 19:])[0]['msg']
    argv = logged(argv_log)
    for name in ('light_set', 'codelevel_set'):
        show(name, said[name], [line for line in argv if (' light ' in line) == name.startswith('light')])
    write(os.path.join(work, 'cases.json'), json.dumps(module_cases(bbu, old)))
    subprocess.run(ansible_python() + [__file__, 'drive', bin_dir, work, source, golden], env=ansible_env(),
                   check=True)
    with open(os.path.join(work, 'results.json')) as f:
        for name, result, argv in json.load(f):
            show(name, dict(dict(changed=False, failed=False), **result), argv)
    session.append('bbu| light %s, code level %s, firmware %s' % (
        read_bbu(root, 'light')['light'], read_bbu(root, 'vpd')['fields']['code_level'],
        read_bbu(root, 'status')['firmware']))


if mode == 'drive':
    drive()
    sys.exit(0)
started = time.monotonic()
shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, 'home'))
image = os.path.join(work, 'new.img')
subprocess.run([os.path.join(bin_dir, 'bbusim-mkimage'), '-v', '6', image], check=True)
{'rollout': recipe, 'stops': stops, 'gate': gate, 'modules': modules}[mode]()

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
