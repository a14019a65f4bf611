# -*- coding: utf-8 -*-
# Copyright (c) 2026 bbu maintainers
# SPDX-License-Identifier: Apache-2.0
# Running bbuctl and reading its JSON document, for every module of the
# collection. The modules never talk to the bus: bbuctl does, and its one
# document on standard output (with its exit status) is all they believe.
# That document is read as hostile input: anything but a well-formed
# document of schema 1 that agrees with the exit status is a failure that
# says what came back.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

# The options every module takes: how to run bbuctl, its adapter and how long
# it waits for another program's lock on the adapter.
COMMON_ARGS = dict(
    bbuctl=dict(type='list', elements='str', default=['bbuctl']),
    adapter=dict(type='str'),
    lock_wait=dict(type='int'),
)

SCHEMA = 1

# What a failure shows of bbuctl's streams: enough to read, never megabytes.
SHOWN = 4000


class BadDocument(ValueError):
    pass


def _members(pairs):
    doc = {}
    for key, value in pairs:
        if key in doc:
            raise BadDocument('member "%s" given twice' % key)
        doc[key] = value
    return doc


def _no_constant(name):
    raise BadDocument('%s is not a JSON number' % name)


def parse_document(text, command):
    """The document bbuctl wrote for COMMAND, or BadDocument saying what is wrong."""
    if not text.strip():
        raise BadDocument('no document on standard output')
    try:
        doc = json.loads(text, object_pairs_hook=_members, parse_constant=_no_constant)
    except ValueError as e:
        if isinstance(e, BadDocument):
            raise
        raise BadDocument('standard output is not one JSON document (%s)' % e)
    if not isinstance(doc, dict):
        raise BadDocument('the document is not a JSON object')
    if type(doc.get('schema')) is not int or doc['schema'] != SCHEMA:
        raise BadDocument('the document has schema %s; this collection reads schema %d'
                          % (json.dumps(doc.get('schema')), SCHEMA))
    if doc.get('command') != command:
        raise BadDocument('the document is for command %s, not "%s"'
                          % (json.dumps(doc.get('command')), command))
    if not isinstance(doc.get('ok'), bool):
        raise BadDocument('the document has no boolean "ok"')
    # Not ok without an error: a change sent that cannot be verified (exit 3).
    if not doc['ok'] and not isinstance(doc.get('error'), dict) and doc.get('verified') is not False:
        raise BadDocument('the document says not ok but has no error object')
    return doc


def _shown(text):
    return text if len(text) <= SHOWN else text[:SHOWN] + '... (%d bytes)' % len(text)


def check_common(module):
    p = module.params
    if not p['bbuctl'] or not p['bbuctl'][0]:
        module.fail_json(msg='bbuctl: the command to run bbuctl is empty')
    # An adapter is a device path; anything else could be read as an option.
    if p['adapter'] is not None and not p['adapter'].startswith('/'):
        module.fail_json(msg='adapter must be an absolute device path, not "%s"' % p['adapter'])


def run(module, command, args, operands, keys, change=False):
    """Runs bbuctl COMMAND (its words, e.g. ['light', 'set']) with ARGS and,
    after '--', OPERANDS; returns the document of a success. Anything else
    fails the module with what bbuctl said: its error object, the document's
    members KEYS, the exit status and standard error."""
    check_common(module)
    p = module.params
    argv = list(p['bbuctl']) + ['--json']
    if p['adapter'] is not None:
        argv += ['-a', p['adapter']]
    if p['lock_wait'] is not None:
        argv += ['-w', str(p['lock_wait'])]
    if change:
        argv.append('-y')
    argv += list(command) + list(args) + ['--'] + list(operands)
    form = ' '.join(command)
    rc, out, err = module.run_command(argv, environ_update={'LC_ALL': 'C'})
    streams = dict(rc=rc, stderr=_shown(err), cmd=argv)
    try:
        doc = parse_document(out, form)
    except BadDocument as e:
        unknown = ' (whether the BBU changed is not known)' if change else ''
        module.fail_json(msg='bbuctl %s: %s, exit status %d%s' % (form, e, rc, unknown),
                         stdout=_shown(out), **streams)
    if doc['ok'] != (rc == 0):
        module.fail_json(msg='bbuctl %s: the document says ok is %s but the exit status is %d'
                         % (form, json.dumps(doc['ok']), rc), document=doc, **streams)
    members = dict((k, doc[k]) for k in keys if k in doc)
    if doc.get('verified') is False:
        # Sent whole, but nothing the BBU shows tells whether it took effect:
        # never a success (bbuctl's exit status 3).
        module.fail_json(msg='bbuctl %s: sent, but whether it took effect cannot be verified, '
                         'exit status %d' % (form, rc), changed=doc.get('changed') is True,
                         **dict(members, **streams))
    if not doc['ok']:
        error = doc['error']
        # The reason is bbuctl's own message, which starts with the command.
        reason = str(error.get('reason') or form + ': failed')
        msg = 'bbuctl: ' + reason
        holds = error.get('holds_text')
        if isinstance(holds, str) and holds and holds not in reason:
            msg += ' (%s)' % holds
        module.fail_json(msg=msg, error=error, changed=doc.get('changed') is True,
                         **dict(members, **streams))
    if change and not isinstance(doc.get('changed'), bool):
        module.fail_json(msg='bbuctl %s: the document has no boolean "changed"' % form,
                         document=doc, **streams)
    # A change's success names what it rests on; one that does not is not taken.
    if change and not isinstance(doc.get('verified'), list):
        module.fail_json(msg='bbuctl %s: the document does not say what the change rests on '
                         '(no "verified" list)' % form, document=doc, **streams)
    return doc


def outcome(module, doc, keys):
    """Ends the module with the members KEYS of a successful DOC. In check
    mode a change is what bbuctl says the command would do."""
    if module.check_mode:
        would = doc.get('would_change')
        if doc.get('check') is not True or not isinstance(would, bool):
            module.fail_json(msg='bbuctl %s --check: the reads cannot tell whether the command '
                             'would change the BBU' % doc['command'],
                             **dict((k, doc.get(k)) for k in keys))
        changed = would
    else:
        changed = doc['changed']
    module.exit_json(changed=changed, **dict((k, doc[k]) for k in keys if k in doc))


def set_value(module, command, operand, keys):
    """bbuctl COMMAND OPERAND as a change, or with --check in check mode; ends
    the module with the document's members KEYS."""
    args = ['--check'] if module.check_mode else []
    # After '--' the operand is never read as an option, whatever it starts with.
    doc = run(module, command, args, [operand], keys, change=not module.check_mode)
    outcome(module, doc, keys)


def absolute(path):
    """PATH as bbuctl gets it: absolute, so that it is never read as an option."""
    return os.path.abspath(os.path.expanduser(path))
