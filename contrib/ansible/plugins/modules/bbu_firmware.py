# -*- coding: utf-8 -*-
# Copyright (c) 2026 bbu maintainers
# SPDX-License-Identifier: Apache-2.0
# The BBU's firmware: bbuctl's flash load, or in check mode its --check.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: bbu_firmware
short_description: Load a firmware image into the battery backup unit
description:
  - Runs C(bbuctl --json -y flash IMAGE). The BBU is loaded only when it does not already run the
    image's version with a valid image; then nothing is written and the task reports no change.
  - A BBU without a valid image, or left in a half-finished load, is always loaded.
  - In check mode runs C(bbuctl --json flash --check IMAGE), which only reads the BBU.
  - A failed load fails the task with bbuctl's error object, which says what the BBU holds now.
options:
  image:
    description: The image file on the managed machine.
    type: path
    required: true
  force:
    description: Load the image even when the BBU already runs its version.
    type: bool
    default: false
  allow_downgrade:
    description: Load an image older than the firmware the BBU runs.
    type: bool
    default: false
  version:
    description:
      - The version the image file must carry, two hex digits as bbuctl shows it (C("06")).
      - When given, C(bbuctl flash --check) reads the file and the BBU first, and a file that
        carries another version, or is no loadable image, fails the task before anything is written.
    type: str
extends_documentation_fragment: bbu.tools.bbuctl
'''

EXAMPLES = r'''
- name: Load firmware 06
  bbu.tools.bbu_firmware:
    image: /var/lib/bbu/bbu-06.img
    lock_wait: 60
'''

RETURN = r'''
verified:
  description: What the change's success rests on, as bbuctl names it (for example
    C(header read back), C(validation)); a change bbuctl cannot verify fails the task.
  type: list
  elements: str
  returned: on success, when not in check mode
action:
  description: C(load) (the image was, or would be, loaded), C(none) (the BBU holds it and validates it),
    C(refuse-downgrade) or C(unknown) (check mode only).
  type: str
  returned: always
before:
  description: The firmware the BBU showed first, e.g. C(05.12); null where not read.
  type: str
  returned: always
after:
  description: The firmware it showed at the end; null where not read.
  type: str
  returned: when not in check mode
image_version:
  description: The image file's version, e.g. C(06).
  type: str
  returned: always
running_version:
  description: The version in the image header at the BBU's image address.
  type: str
  returned: always
image:
  description: What the BBU's first status said of a load (C(not-in-load), C(load-in-progress)).
  type: str
  returned: always
duration_seconds:
  description: The time the command spent on the bus.
  type: float
  returned: when not in check mode
expected_seconds:
  description: The load's expected duration.
  type: float
  returned: in check mode, when the action is C(load)
error:
  description: bbuctl's error object (kind, reason, step, why, holds, holds_text, image, firmware).
  type: dict
  returned: on failure
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.bbu.tools.plugins.module_utils.bbuctl import COMMON_ARGS, absolute, outcome, run

KEYS = ('file', 'action', 'before', 'after', 'image_version', 'running_version', 'image',
        'duration_seconds', 'expected_seconds', 'verified')


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS,
                           image=dict(type='path', required=True),
                           force=dict(type='bool', default=False),
                           allow_downgrade=dict(type='bool', default=False),
                           version=dict(type='str')),
        supports_check_mode=True)
    p = module.params
    image = absolute(p['image'])
    flags = [flag for flag, wanted in (('--force', p['force']),
                                       ('--allow-downgrade', p['allow_downgrade'])) if wanted]
    if module.check_mode or p['version'] is not None:
        # flash --check reads the file and the BBU and sends nothing that changes it.
        plan = run(module, ['flash'], ['--check'] + flags, [image], KEYS)
        if p['version'] is not None and str(plan.get('image_version')).lower() != p['version'].lower():
            module.fail_json(msg='image %s carries version %s, not %s: nothing was loaded'
                             % (image, plan.get('image_version'), p['version']),
                             **dict((k, plan[k]) for k in KEYS if k in plan))
        if module.check_mode:
            if plan.get('action') == 'refuse-downgrade':
                # The load itself would be refused: say so now, not in the rollout.
                module.fail_json(msg='image %s carries version %s, older than version %s in the '
                                 'image header the BBU holds; set allow_downgrade to load it'
                                 % (image, plan.get('image_version'), plan.get('running_version')),
                                 **dict((k, plan[k]) for k in KEYS if k in plan))
            outcome(module, plan, KEYS)
    outcome(module, run(module, ['flash'], flags, [image], KEYS, change=True), KEYS)


if __name__ == '__main__':
    main()
