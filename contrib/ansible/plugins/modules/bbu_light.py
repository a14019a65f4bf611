# -*- coding: utf-8 -*-
# Copyright (c) 2026 bbu maintainers
# SPDX-License-Identifier: Apache-2.0
# The BBU's service fault light: bbuctl's light set.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: bbu_light
short_description: Set the battery backup unit's service fault light
description:
  - Runs C(bbuctl --json -y light set VALUE); when the light already shows VALUE nothing is sent
    and the task reports no change.
  - In check mode runs C(bbuctl --json light set VALUE --check), which only reads the BBU.
options:
  value:
    description: The light's code, 0 to 15 (0 is off).
    type: int
    required: true
extends_documentation_fragment: bbu.tools.bbuctl
'''

EXAMPLES = r'''
- name: Light the service fault light to find the machine
  bbu.tools.bbu_light:
    value: 3
'''

RETURN = r'''
verified:
  description: What the change's success rests on, as bbuctl names it (for example
    C(header read back), C(validation)); a change bbuctl cannot verify fails the task.
  type: list
  elements: str
  returned: on success, when not in check mode
before:
  description: The light's code before; null where not read.
  type: int
  returned: always
after:
  description: The light's code after (in check mode, VALUE); null where not read.
  type: int
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
    module = AnsibleModule(argument_spec=dict(COMMON_ARGS, value=dict(type='int', required=True)),
                           supports_check_mode=True)
    value = module.params['value']
    if not 0 <= value <= 15:
        module.fail_json(msg='value must be 0 to 15, not %d' % value)
    set_value(module, ['light', 'set'], str(value), KEYS)


if __name__ == '__main__':
    main()
