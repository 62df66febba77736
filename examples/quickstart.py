"""The journey of an application using zelmar.external, against the platform simulator.

A file on Brimvale cloud storage, from its web URL: what is known offline, its hub and
region, its latest version and content, its AEC Data Model element group; then a Dunmere
analysis of that .sti file and its .sto result. Run by `make demo`.
"""
from io import BytesIO

from zelmar_sim import DEMO_ITEM, DEMO_PROJECT, DEMO_TOKEN, Simulator, default_world

from zelmar.external.brimvale import BrimvaleFile
from zelmar.external.dunmere import DunmereAnalysis


def step(title: str) -> None:
    print(f"\n== {title}")


def main() -> None:
    world = default_world()
    url = world.web_url(DEMO_PROJECT, DEMO_ITEM)
    token = DEMO_TOKEN  # in an application: OAuth2Integration("brimvale-integration").get_access_token()

    with Simulator(world) as platform:
        print(f"platform simulator on {platform.url}, standing in for {platform.origin}")

        step("A file from its web URL (no requests)")
        file = BrimvaleFile(url)
        print(f"url:        {file.url}")
        print(f"project id: {file.project_id}")
        print(f"urn:        {file.urn}")

        step("Its hub and region (Data Management requests, then cached)")
        print(f"hub id:     {file.get_hub_id(token)}")
        print(f"region:     {file.get_region(token)}")

        step("Its latest version and content")
        version = file.get_latest_version(token)
        print(f"version:    {version.urn}")
        print(f"attributes: {version.attributes}")
        content = version.get_file().getvalue_binary()
        print(f"content:    {len(content)} bytes, first line {content.splitlines()[0].decode()!r}")

        step("Its AEC Data Model element group (GraphQL, every hub of the region)")
        print(f"element group id: {file.get_aec_data_model_element_group_id(token)}")

        step("A Dunmere analysis of the file on the worker")
        analysis = DunmereAnalysis(input_file=BytesIO(content))
        analysis.execute(timeout=30)
        sto = analysis.get_output_file()
        print(sto.getvalue().decode().rstrip())
        print(f"as an SDK File: {analysis.get_output_file(as_file=True)!r}")

        step("Requests the platform saw")
        for request in platform.requests:
            print(f"{request.status} {request.method:4} {request.path}  ({request.endpoint})")


if __name__ == "__main__":
    main()
