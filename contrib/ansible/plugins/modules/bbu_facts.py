# -*- coding: utf-8 -*-
# Copyright (c) 2026 bbu maintainers
# SPDX-License-Identifier: Apache-2.0
# The BBU's general status as facts: bbuctl's status document.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: bbu_facts
short_description: Read the battery backup unit's general status as facts
description:
  - Runs C(bbuctl --json status) and sets the whole document as the fact C(bbu)
    (C(ansible_facts.bbu)), with C(firmware), C(firmware_version), C(image), C(flags),
    C(error_bits), C(errors) and the measurements by name.
  - Fails when the status cannot be read whole with a correct check byte.
  - Only reads; runs in check mode too.
extends_documentation_fragment: bbu.tools.bbuctl
'''

EXAMPLES = r'''
- name: Read the BBU
  bbu.tools.bbu_facts:

- name: Firmware and image
  ansible.builtin.debug:
    msg: "{{ ansible_facts.bbu.firmware }} {{ ansible_facts.bbu.image }}"
'''

RETURN = r'''
ansible_facts:
  description: C(bbu), bbuctl's status document.
  type: dict
  returned: on success
error:
  description: bbuctl's error object (kind, reason, step, why, errno).
  type: dict
  returned: on failure
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.bbu.tools.plugins.module_utils.bbuctl import COMMON_ARGS, run


def main():
    module = AnsibleModule(argument_spec=dict(COMMON_ARGS), supports_check_mode=True)
    doc = run(module, ['status'], [], [], ())
    module.exit_json(changed=False, ansible_facts=dict(bbu=doc))


if __name__ == '__main__':
    main()
