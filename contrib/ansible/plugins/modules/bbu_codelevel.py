# -*- coding: utf-8 -*-
# Copyright (c) 2026 bbu maintainers
# SPDX-License-Identifier: Apache-2.0
# The code level in the BBU's VPD: bbuctl's vpd set-codelevel.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: bbu_codelevel
short_description: Set the code level in the battery backup unit's VPD
description:
  - Runs C(bbuctl --json -y vpd set-codelevel LEVEL); when the code level already reads LEVEL
    nothing is written and the task reports no change.
  - In check mode runs C(bbuctl --json vpd set-codelevel LEVEL --check), which only reads the VPD.
options:
  level:
    description: The code level's last two characters, two printable characters such as C(A3)
      (quote them in YAML, so that C(01) stays two characters).
    type: str
    required: true
extends_documentation_fragment: bbu.tools.bbuctl
'''

EXAMPLES = r'''
- name: Record code level A3
  bbu.tools.bbu_codelevel:
    level: "A3"
'''

RETURN = r'''
verified:
  description: What the change's success rests on, as bbuctl names it (for example
    C(header read back), C(validation)); a change bbuctl cannot verify fails the task.
  type: list
  elements: str
  returned: on success, when not in check mode
before:
  description: The code level's last two characters before; null where not read.
  type: str
  returned: always
after:
  description: The characters after (in check mode, what the update would write).
  type: str
  returned: always
error:
  description: bbuctl's error object (kind, reason, step, why, holds, holds_text, image, firmware).
  type: dict
  returned: on failure
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.bbu.tools.plugins.module_utils.bbuctl import COMMON_ARGS, set_value

KEYS = ('before', 'after', 'verified')


def main():
    module = AnsibleModule(argument_spec=dict(COMMON_ARGS, level=dict(type='str', required=True)),
                           supports_check_mode=True)
    # bbuctl judges the characters; after '--' even a leading '-' is one of them.
    set_value(module, ['vpd', 'set-codelevel'], module.params['level'], KEYS)


if __name__ == '__main__':
    main()
