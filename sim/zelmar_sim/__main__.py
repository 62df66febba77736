"""python -m zelmar_sim [--port N]: serves the seeded world until interrupted, for
applications in other processes (started with ZELMAR_SIM_URL set to the address printed
here) and for poking at the endpoints by hand (curl -H "Authorization: Bearer demo-token"
URL/project/v1/hubs). It prints the web URL of the demo file; GET URL/sim/v1/files lists
every file's. The links it hands out lead back to itself."""
import argparse
import time

from .server import Simulator
from .world import DEMO_ITEM, DEMO_PROJECT, DEMO_TOKEN, default_world


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m zelmar_sim", description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    args = parser.parse_args()
    world = default_world()
    with Simulator(world, port=args.port, route_sdk=False, links_to_self=True) as simulator:
        print(f"zelmar simulator listening on {simulator.url} (platform origin {simulator.origin})")
        print("route applications started from this shell to it:")
        print(f"  export ZELMAR_SIM_URL={simulator.url}")
        print(f"demo file, for BrimvaleFile(...): {world.web_url(DEMO_PROJECT, DEMO_ITEM)}")
        print(f"token: {DEMO_TOKEN}   every file's web URL: curl {simulator.url}/sim/v1/files")
        print(f"try: curl -H 'Authorization: Bearer {DEMO_TOKEN}' {simulator.url}/project/v1/hubs", flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
